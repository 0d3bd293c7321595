#pragma once
// Starting hidden child processes that inherit exactly their three standard handles.

#include <string>

#include "common/result.h"
#include "platform/win32/handle.h"

namespace vorn::win32 {

std::wstring system_directory();

SECURITY_ATTRIBUTES inheritable();
UniqueHandle open_null_device();
// An inheritable duplicate of one of our standard handles (the null device when we have none).
UniqueHandle inheritable_copy(DWORD std_handle);

struct StartedProcess {
    UniqueHandle process;
    UniqueHandle thread;
    DWORD pid = 0;
};

// CREATE_NO_WINDOW; only `in`, `out` and `err` are inherited (they must be inheritable).
Result<StartedProcess> start_hidden_process(const std::wstring& application, std::wstring command_line,
                                            HANDLE in, HANDLE out, HANDLE err);

}  // namespace vorn::win32
