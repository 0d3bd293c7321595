#pragma once
// Redaction for support reports: whatever a report quotes (configurations, logs, tool output)
// passes through here first, so that it gives away no credential, no user name and no address
// that says where the user is or goes.
//
// Text rules, in order: known secrets become "<redacted>" (ASCII case ignored, a line break
// allowed anywhere inside, since logs wrap long values); the server's host names become
// "<server>"; the user name in a profile path (C:\Users\<name>) and, once seen there, anywhere
// else becomes "<user>"; IPv4 addresses: the server's become "<server>", public ones keep their
// first two octets ("203.0.x.x"), while loopback, private, link-local, multicast, network and
// mask forms and the kept ones stay; public IPv6 addresses keep their first two groups; MAC
// addresses keep their maker's half.
//
// JSON rules: every value under a member named like a secret (id, uuid, password, auth, key,
// publicKey, privateKey, shortId, token and their kin, any case, at any depth) or under a member
// named "user" becomes "<redacted>"; every other string, and every member name, goes through the
// text rules.

#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

namespace vorn {

inline constexpr std::string_view kRedactedMark = "<redacted>";
inline constexpr std::string_view kUserMark = "<user>";
inline constexpr std::string_view kServerMark = "<server>";
// A shorter value cannot be told apart from ordinary text; the JSON rules still hide it.
inline constexpr size_t kMinTextSecretLength = 3;

// Whether a member of that name holds a secret.
bool is_secret_member(std::string_view name);

class Redactor {
public:
    void add_secret(std::string_view secret);
    // A host name, or an IPv4 address, by which the report would show where the server is.
    void add_server_host(std::string_view host);
    // A public IPv4 address that may stay as it is (the operator's, the system's own).
    void add_kept_address(std::string_view address);
    // The values under secret members and under "user" become secrets.
    void learn(const nlohmann::json& document);
    // The names of the profile folders the text's paths go through become secrets of their own.
    void learn_user_names(std::string_view text);

    std::string text(std::string_view text) const;
    nlohmann::json json(const nlohmann::json& document) const;

    const std::vector<std::string>& secrets() const { return secrets_; }
    const std::vector<std::string>& user_names() const { return user_names_; }

private:
    void learn_under(const nlohmann::json& value, bool secret);
    nlohmann::json redact_under(const nlohmann::json& value, bool secret) const;

    std::vector<std::string> secrets_;
    std::vector<std::string> server_names_;
    std::vector<std::string> user_names_;
    std::set<uint32_t> server_addresses_;
    std::set<uint32_t> kept_addresses_;
};

}  // namespace vorn
