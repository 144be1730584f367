#include "pop3/MD5.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>

namespace {

// OpenSSL's MD5 as the oracle, in the same lower-case hex form.
std::string OracleHex(const std::string& bytes) {
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int mdLength = 0;
    if (EVP_Digest(bytes.data(), bytes.size(), md, &mdLength, EVP_md5(), nullptr) != 1)
        return "EVP_Digest failed";
    static const char hex[] = "0123456789abcdef";
    std::string text;
    for (unsigned int i = 0; i < mdLength; ++i) {
        text += hex[md[i] >> 4];
        text += hex[md[i] & 0x0f];
    }
    return text;
}

// Every byte value, in an order with no period of 64 so that misplaced
// blocks or words change the digest.
std::string Pattern(size_t length) {
    std::string bytes(length, '\0');
    for (size_t i = 0; i < length; ++i)
        bytes[i] = static_cast<char>((i * 131 + i / 251) & 0xff);
    return bytes;
}

std::string HexOf(const TDigest& digest) {
    static const char hex[] = "0123456789abcdef";
    std::string text;
    for (uint8_t b : digest) {
        text += hex[b >> 4];
        text += hex[b & 0x0f];
    }
    return text;
}

TEST(MD5, Rfc1321TestSuite) {
    EXPECT_EQ(DigestHexOfString(""), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(DigestHexOfBuffer(nullptr, 0), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(DigestHexOfString("a"), "0cc175b9c0f1b6a831c399e269772661");
    EXPECT_EQ(DigestHexOfString("abc"), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(DigestHexOfString("message digest"), "f96b697d7cb7938d525a2f31aaf161d0");
    EXPECT_EQ(DigestHexOfString("abcdefghijklmnopqrstuvwxyz"), "c3fcd3d76192e4007dfb496cca67e13b");
    EXPECT_EQ(DigestHexOfString("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"),
              "d174ab98d277d9f5a5611c2c9f419d9f");
    EXPECT_EQ(DigestHexOfString("1234567890123456789012345678901234567890"
                                "1234567890123456789012345678901234567890"),
              "57edf4a22be3c955ac49da2e2107b67a");
}

TEST(MD5, ApopExampleOfRfc1939) {
    EXPECT_EQ(DigestHexOfString("<1896.697170952@dbc.mtview.ca.us>tanstaaf"),
              "c4c9334bac560ecc979e58001b3e22fb");
}

// Padding boundaries (the length word fits after 0..55 bytes, not after
// 56..63) and the 16384-byte staging boundaries, with a few multiples.
TEST(MD5, BoundaryLengthsMatchOracle) {
    for (size_t length : {1, 55, 56, 57, 63, 64, 65, 119, 120, 128, 16383, 16384, 16385, 32768,
                          2 * 16384 + 1, 3 * 16384 + 55}) {
        const std::string bytes = Pattern(length);
        EXPECT_EQ(DigestHexOfBuffer(bytes.data(), bytes.size()), OracleHex(bytes))
            << "length " << length;
    }
}

// Bytes 0x80-0xFF are hashed as bytes (no sign extension, no conversion),
// and a zero byte does not end the string.
TEST(MD5, EightBitAndZeroBytesAreHashedAsStored) {
    std::string high;
    for (int b = 0x80; b <= 0xff; ++b)
        high += static_cast<char>(b);
    EXPECT_EQ(DigestHexOfString(high), OracleHex(high));

    const std::string finnish = "Yhdist\xe4 \xf6\xc4\xd6";
    EXPECT_EQ(DigestHexOfString(finnish), OracleHex(finnish));

    const std::string withZero("ab\0cd", 5);
    EXPECT_EQ(DigestHexOfString(withZero), OracleHex(withZero));
    EXPECT_NE(DigestHexOfString(withZero), DigestHexOfString("ab"));
}

TEST(MD5, UpdatesSplitAtAnyChunkSizeGiveTheSameDigest) {
    const std::string bytes = Pattern(1000);
    const std::string expected = OracleHex(bytes);
    for (size_t chunk : {1, 2, 3, 7, 55, 56, 63, 64, 65, 127, 128, 999}) {
        TDigestContext context;
        DigestInit(context);
        for (size_t done = 0; done < bytes.size(); done += chunk)
            DigestUpdate(context, bytes.data() + done, std::min(chunk, bytes.size() - done));
        TDigest digest;
        DigestFinal(digest, context);
        EXPECT_EQ(HexOf(digest), expected) << "chunk " << chunk;
    }

    // Irregular splits, zero-length updates between them.
    TDigestContext context;
    DigestInit(context);
    size_t done = 0;
    for (size_t i = 0; done < bytes.size(); ++i) {
        const size_t piece = std::min((i * 37) % 97, bytes.size() - done);
        DigestUpdate(context, bytes.data() + done, piece);
        done += piece;
    }
    TDigest digest;
    DigestFinal(digest, context);
    EXPECT_EQ(HexOf(digest), expected);
}

// Init starts from any content; Final leaves nothing of the message behind.
TEST(MD5, ContextLifecycle) {
    for (size_t length : {0, 3, 55, 56, 64, 200}) {
        const std::string bytes = Pattern(length);
        TDigestContext context;
        std::memset(&context, 0xab, sizeof context);
        DigestInit(context);
        EXPECT_EQ(context.State, (std::array<uint32_t, 4>{0x67452301u, 0xefcdab89u,
                                                          0x98badcfeu, 0x10325476u}));
        DigestUpdate(context, bytes.data(), bytes.size());
        TDigest digest;
        DigestFinal(digest, context);
        EXPECT_EQ(HexOf(digest), OracleHex(bytes)) << "length " << length;
        EXPECT_EQ(context.State, (std::array<uint32_t, 4>{}));
        EXPECT_EQ(context.BitCount, (std::array<uint32_t, 2>{}));
        EXPECT_EQ(context.Block, (std::array<uint8_t, 64>{}));
    }
}

// The low word of the bit count wraps every 512 MiB of input; the carry
// must reach the high word and the block position must follow the low word.
TEST(MD5, BitCountCarriesIntoHighWord) {
    TDigestContext context;
    DigestInit(context);
    context.BitCount = {0xfffffff8u, 0};
    DigestUpdate(context, "x", 1);
    EXPECT_EQ(context.BitCount, (std::array<uint32_t, 2>{0, 1}));
    EXPECT_EQ(context.Block[63], 'x');

    DigestUpdate(context, "yz", 2);
    EXPECT_EQ(context.BitCount, (std::array<uint32_t, 2>{16, 1}));
    EXPECT_EQ(context.Block[0], 'y');
    EXPECT_EQ(context.Block[1], 'z');
}

} // namespace

namespace {

// RFC 2202 section 2's cases 1, 2 and 6 (a key longer than the block is
// hashed first); RFC 2195's example covers CRAM-MD5 in Pop3AuthTest.
TEST(MD5, HmacMd5) {
    EXPECT_EQ(DigestHex(HmacMd5(std::string(16, '\x0b'), "Hi There")), "9294727a3638bb1c13f48ef8158bfc9d");
    EXPECT_EQ(DigestHex(HmacMd5("Jefe", "what do ya want for nothing?")), "750c783e6ab0b503eaa86e310a5db738");
    EXPECT_EQ(DigestHex(HmacMd5(std::string(80, '\xaa'), "Test Using Larger Than Block-Size Key - Hash Key First")),
              "6b1ab7fe4bd7bf8f0b62e6ce61b9d0cd");
}

} // namespace
