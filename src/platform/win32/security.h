#pragma once
// Security identifiers and descriptors shared by the adapters.

#include <windows.h>
#include <winsock2.h>

#include <string>

#include "common/result.h"

namespace vorn::win32 {

// The account the program runs as (the token's user), as a SID and as SDDL text.
PSID process_user_sid();
std::wstring process_user_sid_text();
// LocalSystem, Administrators, TrustedInstaller or the account the program runs as.
bool is_trusted_sid(PSID sid);

// A file for LocalSystem and Administrators alone, given explicitly rather than inherited.
inline constexpr wchar_t kPrivateFileSddl[] = L"D:P(A;;FA;;;SY)(A;;FA;;;BA)";

// A security descriptor built from SDDL text; released when dropped.
class SddlDescriptor {
  public:
    explicit SddlDescriptor(const std::wstring& sddl);
    SddlDescriptor(const SddlDescriptor&) = delete;
    SddlDescriptor& operator=(const SddlDescriptor&) = delete;
    ~SddlDescriptor();
    PSECURITY_DESCRIPTOR get() const { return descriptor_; }
    bool valid() const { return descriptor_ != nullptr; }

  private:
    PSECURITY_DESCRIPTOR descriptor_ = nullptr;
};

// Random bytes from the system generator, as lower-case hexadecimal.
Result<std::wstring> random_hex(size_t bytes);

}  // namespace vorn::win32
