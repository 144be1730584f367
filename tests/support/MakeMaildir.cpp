// quillbox-mkmaildir MAILDIR COUNT [SEED]
// Writes COUNT generated messages (tests/support/Mailbox.h) into MAILDIR/cur
// for the demo and for trying a server by hand. The same SEED (default 1)
// always gives the same mailbox.
#include "tests/support/Mailbox.h"

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>

int main(int argc, char** argv)
{
    if (argc < 3 || argc > 4) {
        std::fprintf(stderr, "usage: quillbox-mkmaildir MAILDIR COUNT [SEED]\n");
        return 2;
    }
    try {
        const size_t count = std::stoul(argv[2]);
        const auto seed = static_cast<uint32_t>(argc == 4 ? std::stoul(argv[3]) : 1);
        testsupport::WriteMaildir(argv[1], count, seed);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "quillbox-mkmaildir: %s\n", e.what());
        return 1;
    }
    return 0;
}
