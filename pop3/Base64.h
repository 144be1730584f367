// Base64 (RFC 4648 section 4), the encoding of SASL messages on the wire
// (RFC 5034 section 4). Small enough to be our own: OpenSSL's
// EVP_DecodeBlock neither reports the padding nor refuses every malformed
// input.
#pragma once

#include <string>
#include <string_view>

// The base64 text of Bytes, padded with "=" to a multiple of 4 characters.
std::string Base64Encode(std::string_view Bytes);

// Decodes Text strictly: only the 64 characters of the alphabet, a length
// that is a multiple of 4, at most two "=" and only at the end, and no
// stray bits in the last character. False, with Bytes undefined, otherwise.
bool Base64Decode(std::string_view Text, std::string& Bytes);
