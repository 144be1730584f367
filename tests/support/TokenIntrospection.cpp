#include "tests/support/TokenIntrospection.h"

#include "tests/support/Mailbox.h"

#include <unistd.h>

#include <stdexcept>

#ifndef QUILLBOX_SOURCE_DIR
#error "QUILLBOX_SOURCE_DIR must name the source tree (it holds tests/support/oauth2-introspect.py)"
#endif

namespace testsupport {

TokenIntrospection::TokenIntrospection(const std::string& user)
{
    std::string templ = (std::filesystem::temp_directory_path() / "quillbox-oauth2-XXXXXX").string();
    if (!::mkdtemp(templ.data()))
        throw std::runtime_error("TokenIntrospection: mkdtemp failed");
    FDir = templ;
    const std::string script = std::string(QUILLBOX_SOURCE_DIR) + "/tests/support/oauth2-introspect.py";
    // The endpoint picks its own port and tells it, so no other program can
    // take the port between a probe and the bind.
    auto listening = [this] {
        const std::string out = Log();
        const size_t at = out.find("listening ");
        if (at == std::string::npos)
            return false;
        FPort = static_cast<uint16_t>(std::stoi(out.substr(at + 10)));
        return Accepts(FPort);
    };
    std::string failure;
    if (!FProcess.Start({"/usr/bin/python3", script, user, FValid, FExpired}, (FDir / "introspect.out").string(),
                        listening, 10000, failure)) {
        const std::string output = Log();
        std::error_code ec;
        std::filesystem::remove_all(FDir, ec);
        throw std::runtime_error("token introspection did not start: " + failure + "\n" + output);
    }
}

TokenIntrospection::~TokenIntrospection()
{
    FProcess.Stop();
    std::error_code ec;
    std::filesystem::remove_all(FDir, ec);
}

std::string TokenIntrospection::Log() const
{
    return ReadFileBytes(FDir / "introspect.out");
}

} // namespace testsupport
