// MD5 message digest (RFC 1321), its lower-case hexadecimal text, and
// HMAC-MD5 (RFC 2104). The APOP login (RFC 1939 section 7) sends the digest
// text of the server's banner timestamp followed by the password; the SASL
// mechanism CRAM-MD5 (RFC 2195) sends the HMAC-MD5 of the server's challenge
// keyed with the password.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

// One hashing in progress. Plain data: DigestInit gives it a defined value,
// DigestFinal leaves it all zero.
struct TDigestContext {
    // The running digest, A, B, C, D of RFC 1321.
    std::array<uint32_t, 4> State;
    // Number of message bits added so far, as one 64-bit count, low word first.
    std::array<uint32_t, 2> BitCount;
    // Bytes of the current, not yet complete, 64-byte block; how many are in
    // use follows from BitCount.
    std::array<uint8_t, 64> Block;
};

// The 16 digest bytes: the four state words, each least significant byte first.
using TDigest = std::array<uint8_t, 16>;

// Sets every field to zero, then the state to the initial words of RFC 1321.
// Any previous content of Context, garbage included, is discarded.
void DigestInit(TDigestContext& Context);

// Adds Count bytes starting at Bytes (which may be null when Count is 0).
void DigestUpdate(TDigestContext& Context, const void* Bytes, size_t Count);

// Pads as RFC 1321 section 3.1/3.2 prescribe, writes the digest, then sets the
// whole context to zero; DigestInit must be called before the context is used
// again.
void DigestFinal(TDigest& Digest, TDigestContext& Context);

// The RFC 1321 compression of one 64-byte block (sixteen 32-bit words, least
// significant byte first) into State.
void TransformBlock(std::array<uint32_t, 4>& State, std::span<const uint8_t, 64> Block);

// The digest of Length bytes at Bytes as 32 characters, 0-9 and a-f, two per
// digest byte, high digit first. Bytes may be null when Length is 0.
std::string DigestHexOfBuffer(const void* Bytes, size_t Length);

// DigestHexOfBuffer over the bytes of Text exactly as stored: no character
// conversion, embedded zero bytes included, no terminating zero.
std::string DigestHexOfString(const std::string& Text);

// The 16 digest bytes as 32 characters, 0-9 and a-f, high digit first.
std::string DigestHex(const TDigest& Digest);

// HMAC-MD5 of Message keyed with Key (RFC 2104), keys of any length.
TDigest HmacMd5(std::string_view Key, std::string_view Message);
