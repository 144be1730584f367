#include "app/LoginMethod.h"

#include "platform/Format.h"

#include <algorithm>

namespace {

struct TMethodInfo {
    const char* Value;
    const char* Name;
    bool Sasl;
    bool SendsSecret;
};
constexpr TMethodInfo kMethods[kLoginMethodCount] = {
    {"user", "USER/PASS", false, true},
    {"auto", "auto", false, false},
    {"apop", "APOP", false, false},
    {"plain", "PLAIN", true, true},
    {"login", "LOGIN", true, true},
    {"cram-md5", "CRAM-MD5", true, false},
    {"scram-sha-256", "SCRAM-SHA-256", true, false},
    {"xoauth2", "XOAUTH2", true, true},
    {"oauthbearer", "OAUTHBEARER", true, true},
};

bool SaslOffered(const TLoginOffers& offers, const char* name)
{
    return std::any_of(offers.Sasl.begin(), offers.Sasl.end(),
                       [name](const std::string& offered) { return SameText(offered, name); });
}

bool UserOffered(const TLoginOffers& offers)
{
    return !offers.Known || offers.User;
}

} // namespace

const char* LoginMethodValue(TLoginMethod Method)
{
    return kMethods[Method].Value;
}

std::optional<TLoginMethod> LoginMethodOfValue(std::string_view Value)
{
    const std::string text = Trim(std::string(Value));
    for (int i = 0; i < kLoginMethodCount; ++i)
        if (SameText(text, kMethods[i].Value))
            return TLoginMethod(i);
    return std::nullopt;
}

const char* LoginSaslName(TLoginMethod Method)
{
    return kMethods[Method].Sasl ? kMethods[Method].Name : nullptr;
}

std::string LoginMethodName(TLoginMethod Method)
{
    return kMethods[Method].Name;
}

bool LoginSendsSecret(TLoginMethod Method)
{
    return kMethods[Method].SendsSecret;
}

bool LoginOffered(TLoginMethod Method, const TLoginOffers& Offers)
{
    if (Method == loginApop)
        return Offers.Apop;
    if (kMethods[Method].Sasl)
        return !Offers.Known || SaslOffered(Offers, kMethods[Method].Name);
    return true; // USER/PASS; "auto" is ChooseLogin's to decide
}

std::string LoginOffersText(const TLoginOffers& Offers)
{
    std::vector<std::string> names;
    if (UserOffered(Offers))
        names.push_back(LoginMethodName(loginUser));
    if (Offers.Apop)
        names.push_back(LoginMethodName(loginApop));
    names.insert(names.end(), Offers.Sasl.begin(), Offers.Sasl.end());
    std::string text;
    for (const std::string& name : names)
        text += (text.empty() ? "" : ", ") + name;
    return text;
}

std::optional<TLoginMethod> ChooseLogin(const TLoginOffers& Offers, bool Encrypted)
{
    for (TLoginMethod method : {loginScramSha256, loginCramMd5, loginApop, loginPlain, loginUser}) {
        if (!Encrypted && LoginSendsSecret(method))
            continue;
        const bool offered = method == loginUser   ? UserOffered(Offers)
                             : method == loginApop ? Offers.Apop
                                                   : SaslOffered(Offers, kMethods[method].Name);
        if (offered)
            return method;
    }
    return std::nullopt;
}
