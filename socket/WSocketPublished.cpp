// The by-name access to TWSocket's published properties.
#include "socket/WSocket.h"

#include <charconv>

namespace {

struct Published {
    const char* Name;
    std::string (*Get)(TWSocket&);
    void (*Set)(TWSocket&, const std::string&); // null: read only
};

std::string BoolText(bool b)
{
    return b ? "True" : "False";
}

bool ParseBool(const std::string& name, const std::string& text)
{
    if (text == "True")
        return true;
    if (text == "False")
        return false;
    throw ESocketException("Invalid value '" + text + "' for property " + name);
}

Integer ParseInteger(const std::string& name, const std::string& text)
{
    Integer v = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (ec != std::errc() || end != text.data() + text.size())
        throw ESocketException("Invalid value '" + text + "' for property " + name);
    return v;
}

std::string JoinLines(const TStrings& lines)
{
    std::string out;
    for (const auto& l : lines)
        out += l + "\r\n";
    return out;
}

const char* const SendFlagsNames[] = {"wsSendNormal", "wsSendUrgent"};
const char* const LingerNames[] = {"wsLingerOff", "wsLingerOn", "wsLingerNoSet"};
const char* const AuthenticationNames[] = {"socksNoAuthentication", "socksAuthenticateUsercode"};

template <size_t N>
int ParseEnum(const std::string& name, const std::string& text, const char* const (&names)[N])
{
    for (size_t i = 0; i < N; ++i)
        if (text == names[i])
            return static_cast<int>(i);
    throw ESocketException("Invalid value '" + text + "' for property " + name);
}

// In published order.
const Published Table[] = {
    {"Name", [](TWSocket& s) { return s.Name(); }, [](TWSocket& s, const std::string& v) { s.SetName(v); }},
    {"Tag", [](TWSocket& s) { return std::to_string(s.Tag()); },
     [](TWSocket& s, const std::string& v) { s.SetTag(ParseInteger("Tag", v)); }},
    {"LineEnd", [](TWSocket& s) { return s.LineEnd(); }, [](TWSocket& s, const std::string& v) { s.SetLineEnd(v); }},
    {"LineMode", [](TWSocket& s) { return BoolText(s.LineMode()); },
     [](TWSocket& s, const std::string& v) { s.SetLineMode(ParseBool("LineMode", v)); }},
    {"LineEcho", [](TWSocket& s) { return BoolText(s.LineEcho()); },
     [](TWSocket& s, const std::string& v) { s.SetLineEcho(ParseBool("LineEcho", v)); }},
    {"LineEdit", [](TWSocket& s) { return BoolText(s.LineEdit()); },
     [](TWSocket& s, const std::string& v) { s.SetLineEdit(ParseBool("LineEdit", v)); }},
    {"Addr", [](TWSocket& s) { return s.Addr(); }, [](TWSocket& s, const std::string& v) { s.SetAddr(v); }},
    {"Port", [](TWSocket& s) { return s.Port(); }, [](TWSocket& s, const std::string& v) { s.SetPort(v); }},
    {"Proto", [](TWSocket& s) { return s.Proto(); }, [](TWSocket& s, const std::string& v) { s.SetProto(v); }},
    {"LocalAddr", [](TWSocket& s) { return s.LocalAddr(); },
     [](TWSocket& s, const std::string& v) { s.SetLocalAddr(v); }},
    {"LocalPort", [](TWSocket& s) { return s.LocalPort(); },
     [](TWSocket& s, const std::string& v) { s.SetLocalPort(v); }},
    {"PeerPort", [](TWSocket& s) { return s.PeerPort(); }, nullptr},
    {"PeerAddr", [](TWSocket& s) { return s.PeerAddr(); }, nullptr},
    {"DnsResult", [](TWSocket& s) { return s.DnsResult(); }, nullptr},
    {"DnsResultList", [](TWSocket& s) { return JoinLines(s.DnsResultList()); }, nullptr},
    {"State", [](TWSocket& s) { return std::string(SocketStateName(s.State())); }, nullptr},
    {"ReadCount", [](TWSocket& s) { return std::to_string(s.ReadCount()); }, nullptr},
    {"RcvdCount", [](TWSocket& s) { return std::to_string(s.RcvdCount()); }, nullptr},
    {"LastError", [](TWSocket& s) { return std::to_string(s.LastError()); }, nullptr},
    {"MultiThreaded", [](TWSocket& s) { return BoolText(s.MultiThreaded()); },
     [](TWSocket& s, const std::string& v) { s.SetMultiThreaded(ParseBool("MultiThreaded", v)); }},
    {"FlushTimeout", [](TWSocket& s) { return std::to_string(s.FlushTimeout()); },
     [](TWSocket& s, const std::string& v) { s.SetFlushTimeout(ParseInteger("FlushTimeout", v)); }},
    {"SendFlags", [](TWSocket& s) { return std::string(SendFlagsNames[s.SendFlags()]); },
     [](TWSocket& s, const std::string& v) {
         s.SetSendFlags(static_cast<TSocketSendFlags>(ParseEnum("SendFlags", v, SendFlagsNames)));
     }},
    {"LingerOnOff", [](TWSocket& s) { return std::string(LingerNames[s.LingerOnOff()]); },
     [](TWSocket& s, const std::string& v) {
         s.SetLingerOnOff(static_cast<TSocketLingerOnOff>(ParseEnum("LingerOnOff", v, LingerNames)));
     }},
    {"LingerTimeout", [](TWSocket& s) { return std::to_string(s.LingerTimeout()); },
     [](TWSocket& s, const std::string& v) { s.SetLingerTimeout(ParseInteger("LingerTimeout", v)); }},
    {"SocksServer", [](TWSocket& s) { return s.SocksServer(); },
     [](TWSocket& s, const std::string& v) { s.SetSocksServer(v); }},
    {"SocksPort", [](TWSocket& s) { return s.SocksPort(); },
     [](TWSocket& s, const std::string& v) { s.SetSocksPort(v); }},
    {"SocksLevel", [](TWSocket& s) { return s.SocksLevel(); },
     [](TWSocket& s, const std::string& v) { s.SetSocksLevel(v); }},
    {"SocksUsercode", [](TWSocket& s) { return s.SocksUsercode(); },
     [](TWSocket& s, const std::string& v) { s.SetSocksUsercode(v); }},
    {"SocksPassword", [](TWSocket& s) { return s.SocksPassword(); },
     [](TWSocket& s, const std::string& v) { s.SetSocksPassword(v); }},
    {"SocksAuthentication", [](TWSocket& s) { return std::string(AuthenticationNames[s.SocksAuthentication()]); },
     [](TWSocket& s, const std::string& v) {
         s.SetSocksAuthentication(
             static_cast<TSocksAuthentication>(ParseEnum("SocksAuthentication", v, AuthenticationNames)));
     }},
    {"TlsEnabled", [](TWSocket& s) { return BoolText(s.TlsEnabled()); },
     [](TWSocket& s, const std::string& v) { s.SetTlsEnabled(ParseBool("TlsEnabled", v)); }},
    {"TlsHostName", [](TWSocket& s) { return s.TlsHostName(); },
     [](TWSocket& s, const std::string& v) { s.SetTlsHostName(v); }},
    {"TlsCaFile", [](TWSocket& s) { return s.TlsCaFile(); },
     [](TWSocket& s, const std::string& v) { s.SetTlsCaFile(v); }},
    {"TlsPin", [](TWSocket& s) { return s.TlsPin(); }, [](TWSocket& s, const std::string& v) { s.SetTlsPin(v); }},
    {"TlsState", [](TWSocket& s) { return std::string(TlsStateName(s.TlsState())); }, nullptr},
    {"TlsProtocol", [](TWSocket& s) { return s.TlsProtocol(); }, nullptr},
    {"TlsCipher", [](TWSocket& s) { return s.TlsCipher(); }, nullptr},
    {"TlsPeerSubject", [](TWSocket& s) { return s.TlsPeerSubject(); }, nullptr},
    {"TlsPeerIssuer", [](TWSocket& s) { return s.TlsPeerIssuer(); }, nullptr},
    {"TlsPeerNotBefore", [](TWSocket& s) { return s.TlsPeerNotBefore(); }, nullptr},
    {"TlsPeerNotAfter", [](TWSocket& s) { return s.TlsPeerNotAfter(); }, nullptr},
    {"TlsPeerFingerprint", [](TWSocket& s) { return s.TlsPeerFingerprint(); }, nullptr},
    {"TlsError", [](TWSocket& s) { return std::to_string(s.TlsError()); }, nullptr},
    {"TlsErrorText", [](TWSocket& s) { return s.TlsErrorText(); }, nullptr},
};

const Published& Find(const std::string& name)
{
    for (const auto& p : Table)
        if (name == p.Name)
            return p;
    throw ESocketException("Unknown property " + name);
}

} // namespace

std::string TWSocket::GetPropertyByName(const std::string& Name)
{
    return Find(Name).Get(*this);
}

void TWSocket::SetPropertyByName(const std::string& Name, const std::string& Value)
{
    const Published& p = Find(Name);
    if (!p.Set)
        throw ESocketException("Property " + Name + " is read only");
    p.Set(*this, Value);
}

const TStrings& TWSocket::PublishedProperties()
{
    static const TStrings names = [] {
        TStrings n;
        for (const auto& p : Table)
            n.emplace_back(p.Name);
        return n;
    }();
    return names;
}
