#pragma once
// The application id the ALE layers compare a connection's program with, as
// FwpmGetAppIdFromFileName0 gives it: the NT device form of the full path, lower-cased. The
// engine and wfp-decide both use this, so a decision names the program exactly as a filter does.

#include <string>

namespace winsim {

// "Z:\tmp\a.exe" -> "\device\harddiskvolume26\tmp\a.exe" (volume N for drive letter N, A being
// 1); empty when the path has no drive letter. The file need not exist.
std::wstring app_id_path(const std::wstring& windows_path);

}  // namespace winsim
