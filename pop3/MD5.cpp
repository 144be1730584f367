#include "pop3/MD5.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <vector>

namespace {

// Largest piece DigestHexOfBuffer copies into its staging block at a time.
constexpr size_t kStagingSize = 16384;

// RFC 1321 section 3.3: the initial words A, B, C, D.
constexpr std::array<uint32_t, 4> kInitialState = {0x67452301u, 0xefcdab89u, 0x98badcfeu,
                                                   0x10325476u};

// RFC 1321 section 3.4: T[i] = floor(2^32 * abs(sin(i))), i = 1..64, one
// per step.
constexpr std::array<uint32_t, 64> kSine = {
    0xd76aa478u, 0xe8c7b756u, 0x242070dbu, 0xc1bdceeeu, 0xf57c0fafu, 0x4787c62au, 0xa8304613u,
    0xfd469501u, 0x698098d8u, 0x8b44f7afu, 0xffff5bb1u, 0x895cd7beu, 0x6b901122u, 0xfd987193u,
    0xa679438eu, 0x49b40821u, 0xf61e2562u, 0xc040b340u, 0x265e5a51u, 0xe9b6c7aau, 0xd62f105du,
    0x02441453u, 0xd8a1e681u, 0xe7d3fbc8u, 0x21e1cde6u, 0xc33707d6u, 0xf4d50d87u, 0x455a14edu,
    0xa9e3e905u, 0xfcefa3f8u, 0x676f02d9u, 0x8d2a4c8au, 0xfffa3942u, 0x8771f681u, 0x6d9d6122u,
    0xfde5380cu, 0xa4beea44u, 0x4bdecfa9u, 0xf6bb4b60u, 0xbebfbc70u, 0x289b7ec6u, 0xeaa127fau,
    0xd4ef3085u, 0x04881d05u, 0xd9d4d039u, 0xe6db99e5u, 0x1fa27cf8u, 0xc4ac5665u, 0xf4292244u,
    0x432aff97u, 0xab9423a7u, 0xfc93a039u, 0x655b59c3u, 0x8f0ccc92u, 0xffeff47du, 0x85845dd1u,
    0x6fa87e4fu, 0xfe2ce6e0u, 0xa3014314u, 0x4e0811a1u, 0xf7537e82u, 0xbd3af235u, 0x2ad7d2bbu,
    0xeb86d391u,
};

// Left-rotation amounts of RFC 1321 section 3.4: four per round, repeated
// within the round.
constexpr std::array<int, 16> kShift = {7, 12, 17, 22, 5, 9, 14, 20, 4, 11, 16, 23, 6, 10, 15, 21};

uint32_t LoadLE32(const uint8_t* p) {
    // Widen before shifting: uint8_t promotes to int, and 0xff << 24 would
    // overflow it.
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

void StoreLE32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}

// Byte position in the block: bits added so far / 8, mod 64.
size_t BlockIndex(const TDigestContext& Context) {
    return static_cast<size_t>((Context.BitCount[0] >> 3) & 0x3f);
}

} // namespace

void DigestInit(TDigestContext& Context) {
    std::memset(&Context, 0, sizeof Context);
    Context.State = kInitialState;
}

void DigestUpdate(TDigestContext& Context, const void* Bytes, size_t Count) {
    if (Count == 0)
        return;
    const auto* input = static_cast<const uint8_t*>(Bytes);
    size_t index = BlockIndex(Context);

    // 64-bit bit count kept as two words: Count * 8 into the low word with
    // its carry, and the bits of Count * 8 above 32 (Count / 2^29) into the
    // high word.
    const auto addedLow = static_cast<uint32_t>(Count << 3);
    Context.BitCount[0] += addedLow;
    if (Context.BitCount[0] < addedLow)
        ++Context.BitCount[1];
    Context.BitCount[1] += static_cast<uint32_t>(static_cast<uint64_t>(Count) >> 29);

    size_t done = 0;
    const size_t room = 64 - index;
    if (Count >= room) {
        std::memcpy(Context.Block.data() + index, input, room);
        TransformBlock(Context.State, Context.Block);
        done = room;
        // Whole blocks are compressed straight from the input; copying them
        // through Block first would give the same result.
        for (; done + 64 <= Count; done += 64)
            TransformBlock(Context.State, std::span<const uint8_t, 64>(input + done, 64));
        index = 0;
    }
    std::memcpy(Context.Block.data() + index, input + done, Count - done);
}

void DigestFinal(TDigest& Digest, TDigestContext& Context) {
    // The length is taken before padding changes the count.
    std::array<uint8_t, 8> length;
    StoreLE32(length.data(), Context.BitCount[0]);
    StoreLE32(length.data() + 4, Context.BitCount[1]);

    // One 0x80 byte, then zeros up to 56 mod 64 (1 to 64 bytes of padding).
    static constexpr std::array<uint8_t, 64> kPadding = {0x80};
    const size_t index = BlockIndex(Context);
    const size_t padLength = index < 56 ? 56 - index : 120 - index;
    DigestUpdate(Context, kPadding.data(), padLength);
    DigestUpdate(Context, length.data(), length.size());

    for (size_t i = 0; i < Context.State.size(); ++i)
        StoreLE32(Digest.data() + 4 * i, Context.State[i]);

    // The context held message bytes (for APOP, part of the password).
    std::memset(&Context, 0, sizeof Context);
}

void TransformBlock(std::array<uint32_t, 4>& State, std::span<const uint8_t, 64> Block) {
    std::array<uint32_t, 16> x;
    for (size_t i = 0; i < x.size(); ++i)
        x[i] = LoadLE32(Block.data() + 4 * i);

    uint32_t a = State[0], b = State[1], c = State[2], d = State[3];
    for (unsigned step = 0; step < 64; ++step) {
        const unsigned round = step / 16;
        uint32_t f;
        unsigned k; // which word of the block this step adds
        switch (round) {
        case 0: // F(X,Y,Z) = XY v not(X) Z
            f = (b & c) | (~b & d);
            k = step;
            break;
        case 1: // G(X,Y,Z) = XZ v Y not(Z)
            f = (b & d) | (c & ~d);
            k = (5 * step + 1) % 16;
            break;
        case 2: // H(X,Y,Z) = X xor Y xor Z
            f = b ^ c ^ d;
            k = (3 * step + 5) % 16;
            break;
        default: // I(X,Y,Z) = Y xor (X v not(Z))
            f = c ^ (b | ~d);
            k = (7 * step) % 16;
            break;
        }
        const uint32_t sum = a + f + kSine[step] + x[k];
        const uint32_t next = b + std::rotl(sum, kShift[round * 4 + step % 4]);
        a = d;
        d = c;
        c = b;
        b = next;
    }
    State[0] += a;
    State[1] += b;
    State[2] += c;
    State[3] += d;
}

std::string DigestHexOfBuffer(const void* Bytes, size_t Length) {
    // Each piece is copied into this one staging block and hashed from there;
    // the vector releases it on every path.
    std::vector<uint8_t> staging(std::min(Length, kStagingSize));
    const auto* input = static_cast<const uint8_t*>(Bytes);

    TDigestContext context;
    DigestInit(context);
    for (size_t done = 0; done < Length;) {
        const size_t piece = std::min(Length - done, kStagingSize);
        std::memcpy(staging.data(), input + done, piece);
        DigestUpdate(context, staging.data(), piece);
        done += piece;
    }
    TDigest digest;
    DigestFinal(digest, context);
    return DigestHex(digest);
}

std::string DigestHex(const TDigest& Digest) {
    static constexpr char kHexDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(2 * Digest.size());
    for (uint8_t byte : Digest) {
        text += kHexDigits[byte >> 4];
        text += kHexDigits[byte & 0x0f];
    }
    return text;
}

std::string DigestHexOfString(const std::string& Text) {
    return DigestHexOfBuffer(Text.data(), Text.size());
}

// RFC 2104 section 2: H(K XOR opad, H(K XOR ipad, text)), with B = 64; a key
// longer than B is replaced by its digest first.
TDigest HmacMd5(std::string_view Key, std::string_view Message) {
    constexpr size_t kBlock = 64;
    std::array<uint8_t, kBlock> key{};
    TDigestContext context;
    if (Key.size() > kBlock) {
        TDigest hashed;
        DigestInit(context);
        DigestUpdate(context, Key.data(), Key.size());
        DigestFinal(hashed, context);
        std::copy(hashed.begin(), hashed.end(), key.begin());
    } else {
        std::copy(Key.begin(), Key.end(), key.begin());
    }
    std::array<uint8_t, kBlock> pad;
    TDigest inner;
    for (size_t i = 0; i < kBlock; ++i)
        pad[i] = key[i] ^ 0x36;
    DigestInit(context);
    DigestUpdate(context, pad.data(), pad.size());
    DigestUpdate(context, Message.data(), Message.size());
    DigestFinal(inner, context);
    for (size_t i = 0; i < kBlock; ++i)
        pad[i] = key[i] ^ 0x5c;
    TDigest outer;
    DigestInit(context);
    DigestUpdate(context, pad.data(), pad.size());
    DigestUpdate(context, inner.data(), inner.size());
    DigestFinal(outer, context);
    return outer;
}
