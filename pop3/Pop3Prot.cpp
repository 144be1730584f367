// The POP3 engine core: construction, states, request completion.
#include "pop3/Pop3Prot.h"
