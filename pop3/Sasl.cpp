#include "pop3/Sasl.h"

#include "platform/Format.h"
#include "pop3/Base64.h"
#include "pop3/MD5.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/sha.h>

#include <array>
#include <charconv>

namespace {

TSaslAnswer Answer(std::string Response)
{
    TSaslAnswer answer;
    answer.Response = std::move(Response);
    return answer;
}

// PLAIN (RFC 4616 section 2): [authzid] NUL authcid NUL passwd, sent as the
// initial response; no authorization identity of its own.
class TPlain : public TSaslMechanism {
public:
    using TSaslMechanism::TSaslMechanism;
    std::optional<std::string> InitialResponse() override
    {
        return std::string(1, '\0') + FCredentials.User + '\0' + FCredentials.Password;
    }
    TSaslAnswer Respond(const std::string&) override { return Unexpected(); }
};

// LOGIN (draft-murchison-sasl-login): the server asks for the user name,
// then the password; the prompts' texts vary between servers and are not
// read.
class TLogin : public TSaslMechanism {
public:
    using TSaslMechanism::TSaslMechanism;
    TSaslAnswer Respond(const std::string&) override
    {
        switch (FStep++) {
        case 0: return Answer(FCredentials.User);
        case 1: return Answer(FCredentials.Password);
        }
        return Unexpected();
    }
};

// CRAM-MD5 (RFC 2195 section 2): the user name, a space, and the HMAC-MD5 of
// the challenge keyed with the password, in lower-case hexadecimal.
class TCramMd5 : public TSaslMechanism {
public:
    using TSaslMechanism::TSaslMechanism;
    TSaslAnswer Respond(const std::string& Challenge) override
    {
        if (FStep++ != 0)
            return Unexpected();
        return Answer(FCredentials.User + " " + DigestHex(HmacMd5(FCredentials.Password, Challenge)));
    }
};

using TSha256 = std::array<unsigned char, SHA256_DIGEST_LENGTH>;

TSha256 HmacSha256(std::string_view Key, std::string_view Message)
{
    TSha256 out{};
    unsigned int length = 0;
    HMAC(EVP_sha256(), Key.data(), static_cast<int>(Key.size()), reinterpret_cast<const unsigned char*>(Message.data()),
         Message.size(), out.data(), &length);
    return out;
}

std::string_view Bytes(const TSha256& Digest)
{
    return {reinterpret_cast<const char*>(Digest.data()), Digest.size()};
}

// SCRAM-SHA-256 (RFC 7677; the exchange is RFC 5802 section 5 with SHA-256),
// without channel binding ("n,," as the GS2 header). The password is used
// as its bytes are: see Respond.
class TScramSha256 : public TSaslMechanism {
public:
    using TSaslMechanism::TSaslMechanism;
    std::optional<std::string> InitialResponse() override
    {
        FClientFirstBare = "n=" + SaslName(FCredentials.User) + ",r=" + FCredentials.ClientNonce;
        return Gs2Header + FClientFirstBare;
    }
    TSaslAnswer Respond(const std::string& Challenge) override
    {
        switch (FStep++) {
        case 0: return ServerFirst(Challenge);
        case 1: return ServerFinal(Challenge);
        }
        return Unexpected();
    }
    bool MaySucceed() const override { return FVerified; }

private:
    static constexpr const char* Gs2Header = "n,,";
    // PBKDF2 runs inside the event handler and blocks the loop: a server may
    // not make the client spin for minutes. RFC 7677 section 4 asks for at
    // least 4096; servers use up to a few hundred thousand.
    static constexpr int MaxIterations = 1000000;

    // server-first-message = r=nonce,s=salt,i=count[,extensions]; a leading
    // "m=" is a mandatory extension that no client knows (section 5.1).
    //
    // RFC 5802 section 2.2 asks for SASLprep (RFC 4013) of the password. It
    // leaves every ASCII password unchanged, and the server in reach (Dovecot
    // 2.3) derives its keys from the stored password's bytes without it, so
    // the bytes are used as they are, as PLAIN and APOP send them.
    TSaslAnswer ServerFirst(const std::string& Message)
    {
        if (Message.compare(0, 2, "m=") == 0)
            return Refuse("SCRAM-SHA-256: the server requires an extension that this client does not know");
        std::string_view rest = Message;
        const std::string nonce = Attribute(rest, 'r');
        const std::string saltText = Attribute(rest, 's');
        const std::string count = Attribute(rest, 'i');
        std::string salt;
        int iterations = 0;
        const auto [end, ec] = std::from_chars(count.data(), count.data() + count.size(), iterations);
        if (nonce.size() <= FCredentials.ClientNonce.size() || nonce.compare(0, FCredentials.ClientNonce.size(),
                                                                             FCredentials.ClientNonce) != 0)
            return Refuse("SCRAM-SHA-256: the server's nonce does not extend ours");
        if (!Base64Decode(saltText, salt) || salt.empty())
            return Refuse("SCRAM-SHA-256: no salt from the server");
        if (ec != std::errc() || end != count.data() + count.size() || iterations < 1 ||
            iterations > MaxIterations)
            return Refuse("SCRAM-SHA-256: bad iteration count from the server");

        TSha256 salted{};
        PKCS5_PBKDF2_HMAC(FCredentials.Password.data(), static_cast<int>(FCredentials.Password.size()),
                          reinterpret_cast<const unsigned char*>(salt.data()), static_cast<int>(salt.size()),
                          iterations, EVP_sha256(), static_cast<int>(salted.size()), salted.data());
        const TSha256 clientKey = HmacSha256(Bytes(salted), "Client Key");
        TSha256 storedKey{};
        SHA256(clientKey.data(), clientKey.size(), storedKey.data());
        const std::string withoutProof = "c=" + Base64Encode(Gs2Header) + ",r=" + nonce;
        const std::string authMessage = FClientFirstBare + "," + Message + "," + withoutProof;
        TSha256 proof = HmacSha256(Bytes(storedKey), authMessage);
        for (size_t i = 0; i < proof.size(); ++i)
            proof[i] ^= clientKey[i];
        FServerSignature = HmacSha256(Bytes(HmacSha256(Bytes(salted), "Server Key")), authMessage);
        OPENSSL_cleanse(salted.data(), salted.size());
        return Answer(withoutProof + ",p=" + Base64Encode(Bytes(proof)));
    }

    // server-final-message = e=error or v=signature (section 5.1). A right
    // signature is answered with the empty response that ends the exchange
    // (RFC 5034 section 4: POP3 has no success with data).
    TSaslAnswer ServerFinal(const std::string& Message)
    {
        std::string_view rest = Message;
        if (Message.compare(0, 2, "e=") == 0)
            return Refuse("SCRAM-SHA-256: the server reports " + Attribute(rest, 'e'));
        std::string signature;
        if (!Base64Decode(Attribute(rest, 'v'), signature) || signature.size() != FServerSignature.size() ||
            CRYPTO_memcmp(signature.data(), FServerSignature.data(), signature.size()) != 0)
            return Refuse("SCRAM-SHA-256: the server's signature is wrong (it does not know the password)");
        FVerified = true;
        return Answer({});
    }

    // The value of the attribute Name at the front of Rest ("n=value,"), then
    // Rest moves past it; empty when the front holds another attribute.
    static std::string Attribute(std::string_view& Rest, char Name)
    {
        if (Rest.size() < 2 || Rest[0] != Name || Rest[1] != '=')
            return {};
        const size_t comma = Rest.find(',');
        std::string value(Rest.substr(2, comma == std::string_view::npos ? std::string_view::npos : comma - 2));
        Rest.remove_prefix(comma == std::string_view::npos ? Rest.size() : comma + 1);
        return value;
    }

    std::string FClientFirstBare;
    TSha256 FServerSignature{};
    bool FVerified = false;
};

// Bearer tokens: XOAUTH2 (as the large providers document it) and
// OAUTHBEARER (RFC 7628). A refused token comes back as one challenge, a
// JSON object; the client must answer it before the server sends its
// "-ERR" (RFC 7628 section 3.2.3), and the status is kept as the error.
class TBearer : public TSaslMechanism {
public:
    using TSaslMechanism::TSaslMechanism;
    TSaslAnswer Respond(const std::string& Challenge) override
    {
        if (FStep++ != 0)
            return Unexpected();
        return {ErrorReply(), false, std::string(Name()) + " token refused: " + OAuth2ErrorStatus(Challenge)};
    }

protected:
    // What the mechanism answers to the error challenge.
    virtual std::string ErrorReply() const = 0;
};

// user=USER ^A auth=Bearer TOKEN ^A ^A; the error is answered with an empty
// response.
class TXOAuth2 : public TBearer {
public:
    using TBearer::TBearer;
    std::optional<std::string> InitialResponse() override
    {
        return "user=" + FCredentials.User + "\1auth=Bearer " + FCredentials.Password + "\1\1";
    }

protected:
    std::string ErrorReply() const override { return {}; }
};

// RFC 7628 section 3.1: the GS2 header with the user as authorization
// identity, then host, port (when it is a number) and the token, each ended
// by ^A, and a last ^A. The error is answered with a single ^A.
class TOAuthBearer : public TBearer {
public:
    using TBearer::TBearer;
    std::optional<std::string> InitialResponse() override
    {
        std::string message = "n,a=" + SaslName(FCredentials.User) + ",\1";
        if (!FCredentials.Host.empty())
            message += "host=" + FCredentials.Host + "\1";
        if (!FCredentials.Port.empty() && FCredentials.Port.find_first_not_of("0123456789") == std::string::npos)
            message += "port=" + FCredentials.Port + "\1";
        return message + "auth=Bearer " + FCredentials.Password + "\1\1";
    }

protected:
    std::string ErrorReply() const override { return "\1"; }
};

template <class T>
std::unique_ptr<TSaslMechanism> Make(const char* Name, const TSaslCredentials& Credentials)
{
    return std::unique_ptr<TSaslMechanism>(new T(Name, Credentials));
}

const struct {
    const char* Name;
    std::unique_ptr<TSaslMechanism> (*Create)(const char*, const TSaslCredentials&);
} Mechanisms[] = {
    {"PLAIN", Make<TPlain>},           {"LOGIN", Make<TLogin>},     {"CRAM-MD5", Make<TCramMd5>},
    {"SCRAM-SHA-256", Make<TScramSha256>}, {"XOAUTH2", Make<TXOAuth2>}, {"OAUTHBEARER", Make<TOAuthBearer>},
};

} // namespace

std::unique_ptr<TSaslMechanism> TSaslMechanism::Create(std::string_view Name, const TSaslCredentials& Credentials)
{
    for (const auto& mechanism : Mechanisms)
        if (SameText(Name, mechanism.Name))
            return mechanism.Create(mechanism.Name, Credentials);
    return nullptr;
}

const std::vector<std::string>& TSaslMechanism::Names()
{
    static const std::vector<std::string> names = [] {
        std::vector<std::string> n;
        for (const auto& mechanism : Mechanisms)
            n.emplace_back(mechanism.Name);
        return n;
    }();
    return names;
}

TSaslAnswer TSaslMechanism::Refuse(std::string Why)
{
    return {{}, true, std::move(Why)};
}

TSaslAnswer TSaslMechanism::Unexpected() const
{
    return Refuse(std::string(FName) + ": unexpected challenge");
}

std::string SaslName(std::string_view Name)
{
    std::string out;
    for (char ch : Name)
        out += ch == '=' ? "=3D" : ch == ',' ? "=2C" : std::string(1, ch);
    return out;
}

// Only the one member is read: {"status":"401",...} or {"status":401,...}.
// String escapes other than \" and \\ are kept as they stand.
std::string OAuth2ErrorStatus(std::string_view Json)
{
    constexpr size_t Readable = 200;
    auto blank = [](char ch) { return ch == ' ' || ch == '\t' || ch == '\r' || ch == '\n'; };
    size_t pos = Json.find("\"status\"");
    if (pos != std::string_view::npos) {
        pos += 8;
        while (pos < Json.size() && blank(Json[pos]))
            ++pos;
        if (pos < Json.size() && Json[pos] == ':') {
            ++pos;
            while (pos < Json.size() && blank(Json[pos]))
                ++pos;
            std::string value;
            if (pos < Json.size() && Json[pos] == '"') {
                for (++pos; pos < Json.size() && Json[pos] != '"'; ++pos) {
                    if (Json[pos] == '\\' && pos + 1 < Json.size() && (Json[pos + 1] == '"' || Json[pos + 1] == '\\'))
                        ++pos;
                    value += Json[pos];
                }
            } else {
                while (pos < Json.size() && Json[pos] != ',' && Json[pos] != '}' && !blank(Json[pos]))
                    value += Json[pos++];
            }
            if (!value.empty())
                return value.substr(0, Readable);
        }
    }
    return std::string(Json.substr(0, Readable));
}
