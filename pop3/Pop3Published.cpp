// By-name access to the published properties of TPop3Cli and TSyncPop3Cli,
// for tools that configure components from text.
#include "pop3/Pop3Prot.h"

#include <charconv>

namespace {

template <class T>
struct Published {
    const char* Name;
    std::string (*Get)(T&);
    void (*Set)(T&, const std::string&); // null: read only
};

Integer ParseInteger(const std::string& name, const std::string& text)
{
    Integer v = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (ec != std::errc() || end != text.data() + text.size() || text.empty())
        throw Pop3Exception("Invalid value '" + text + "' for property " + name);
    return v;
}

bool ParseBool(const std::string& name, const std::string& text)
{
    if (text == "True")
        return true;
    if (text == "False")
        return false;
    throw Pop3Exception("Invalid value '" + text + "' for property " + name);
}

TPop3Security ParseSecurity(const std::string& text)
{
    for (TPop3Security v : {pop3SecNone, pop3SecTls, pop3SecStartTls})
        if (text == Pop3SecurityName(v))
            return v;
    throw Pop3Exception("Invalid value '" + text + "' for property Security");
}

// In published order.
const Published<TPop3Cli> ClientTable[] = {
    {"Name", [](TPop3Cli& c) { return c.Name(); }, [](TPop3Cli& c, const std::string& v) { c.SetName(v); }},
    {"Host", [](TPop3Cli& c) { return c.Host(); }, [](TPop3Cli& c, const std::string& v) { c.SetHost(v); }},
    {"Port", [](TPop3Cli& c) { return c.Port(); }, [](TPop3Cli& c, const std::string& v) { c.SetPort(v); }},
    {"UserName", [](TPop3Cli& c) { return c.UserName(); },
     [](TPop3Cli& c, const std::string& v) { c.SetUserName(v); }},
    {"PassWord", [](TPop3Cli& c) { return c.PassWord(); },
     [](TPop3Cli& c, const std::string& v) { c.SetPassWord(v); }},
    {"ErrorMessage", [](TPop3Cli& c) { return c.ErrorMessage(); }, nullptr},
    {"LastResponse", [](TPop3Cli& c) { return c.LastResponse(); }, nullptr},
    {"ProtocolState", [](TPop3Cli& c) { return std::string(Pop3ProtocolStateName(c.ProtocolState())); }, nullptr},
    {"MsgCount", [](TPop3Cli& c) { return std::to_string(c.MsgCount()); }, nullptr},
    {"MsgSize", [](TPop3Cli& c) { return std::to_string(c.MsgSize()); }, nullptr},
    {"MsgLines", [](TPop3Cli& c) { return std::to_string(c.MsgLines()); },
     [](TPop3Cli& c, const std::string& v) { c.SetMsgLines(ParseInteger("MsgLines", v)); }},
    {"MsgNum", [](TPop3Cli& c) { return std::to_string(c.MsgNum()); },
     [](TPop3Cli& c, const std::string& v) { c.SetMsgNum(ParseInteger("MsgNum", v)); }},
    {"MsgUidl", [](TPop3Cli& c) { return c.MsgUidl(); }, nullptr},
    {"Tag", [](TPop3Cli& c) { return std::to_string(c.Tag()); },
     [](TPop3Cli& c, const std::string& v) { c.SetTag(ParseInteger("Tag", v)); }},
    {"Security", [](TPop3Cli& c) { return std::string(Pop3SecurityName(c.Security())); },
     [](TPop3Cli& c, const std::string& v) { c.SetSecurity(ParseSecurity(v)); }},
    {"TlsCaFile", [](TPop3Cli& c) { return c.TlsCaFile(); },
     [](TPop3Cli& c, const std::string& v) { c.SetTlsCaFile(v); }},
    {"TlsPin", [](TPop3Cli& c) { return c.TlsPin(); }, [](TPop3Cli& c, const std::string& v) { c.SetTlsPin(v); }},
    {"TlsPeerFingerprint", [](TPop3Cli& c) { return c.TlsPeerFingerprint(); }, nullptr},
    {"AuthMechanism", [](TPop3Cli& c) { return c.AuthMechanism(); },
     [](TPop3Cli& c, const std::string& v) { c.SetAuthMechanism(v); }},
    {"Pipelining", [](TPop3Cli& c) { return std::string(c.Pipelining() ? "True" : "False"); },
     [](TPop3Cli& c, const std::string& v) { c.SetPipelining(ParseBool("Pipelining", v)); }},
};

const Published<TSyncPop3Cli> SyncTable[] = {
    {"Timeout", [](TSyncPop3Cli& c) { return std::to_string(c.Timeout()); },
     [](TSyncPop3Cli& c, const std::string& v) { c.SetTimeout(ParseInteger("Timeout", v)); }},
    {"MultiThreaded", [](TSyncPop3Cli& c) { return std::string(c.MultiThreaded() ? "True" : "False"); },
     [](TSyncPop3Cli& c, const std::string& v) { c.SetMultiThreaded(ParseBool("MultiThreaded", v)); }},
};

template <class T, size_t N>
const Published<T>* Find(const Published<T> (&table)[N], const std::string& name)
{
    for (const auto& p : table)
        if (name == p.Name)
            return &p;
    return nullptr;
}

template <class T>
std::string Get(const Published<T>* p, T& client, const std::string& name)
{
    if (!p)
        throw Pop3Exception("Unknown property " + name);
    return p->Get(client);
}

template <class T>
void Set(const Published<T>* p, T& client, const std::string& name, const std::string& value)
{
    if (!p)
        throw Pop3Exception("Unknown property " + name);
    if (!p->Set)
        throw Pop3Exception("Property " + name + " is read only");
    p->Set(client, value);
}

template <class T, size_t N>
void AppendNames(TStrings& names, const Published<T> (&table)[N])
{
    for (const auto& p : table)
        names.emplace_back(p.Name);
}

} // namespace

std::string TPop3Cli::GetPropertyByName(const std::string& Name)
{
    return Get(Find(ClientTable, Name), *this, Name);
}

void TPop3Cli::SetPropertyByName(const std::string& Name, const std::string& Value)
{
    Set(Find(ClientTable, Name), *this, Name, Value);
}

const TStrings& TPop3Cli::PublishedProperties()
{
    static const TStrings names = [] {
        TStrings n;
        AppendNames(n, ClientTable);
        return n;
    }();
    return names;
}

std::string TSyncPop3Cli::GetPropertyByName(const std::string& Name)
{
    if (auto* p = Find(SyncTable, Name))
        return Get(p, *this, Name);
    return TPop3Cli::GetPropertyByName(Name);
}

void TSyncPop3Cli::SetPropertyByName(const std::string& Name, const std::string& Value)
{
    if (auto* p = Find(SyncTable, Name))
        return Set(p, *this, Name, Value);
    TPop3Cli::SetPropertyByName(Name, Value);
}

const TStrings& TSyncPop3Cli::PublishedProperties()
{
    static const TStrings names = [] {
        TStrings n = TPop3Cli::PublishedProperties();
        AppendNames(n, SyncTable);
        return n;
    }();
    return names;
}
