#include "common/sim.h"

#include <tlhelp32.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace winsim {

std::string narrow(const std::wstring& wide) {
    if (wide.empty()) return {};
    int n = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), out.data(), n, nullptr, nullptr);
    return out;
}

std::wstring widen(const std::string& utf8) {
    if (utf8.empty()) return {};
    int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring out(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), out.data(), n);
    return out;
}

std::vector<std::string> utf8_args(int argc, wchar_t** argv) {
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) args.push_back(narrow(argv[i]));
    return args;
}

void append_state_line(const std::string& name, const std::string& line) {
    std::string text = line + "\n";
    HANDLE log = CreateFileW(state_path(name).c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                             OPEN_ALWAYS, 0, nullptr);
    if (log != INVALID_HANDLE_VALUE) {
        DWORD written = 0;
        WriteFile(log, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
        CloseHandle(log);
    }
}

std::vector<std::string> begin(const char* tool, int argc, wchar_t** argv) {
    std::vector<std::string> args = utf8_args(argc, argv);
    std::string line = tool;
    for (size_t i = 0; i < args.size(); ++i) line += (i == 0 ? " " : "|") + args[i];
    append_state_line("calls.log", line);
    append_state_line("started.log", narrow(module_path()));
    return args;
}

std::wstring module_path() {
    wchar_t buffer[32768];
    DWORD n = GetModuleFileNameW(nullptr, buffer, 32768);
    return std::wstring(buffer, n);
}

std::wstring module_directory() {
    std::wstring path = module_path();
    return path.substr(0, path.find_last_of(L"\\/"));
}

// The stand-ins in the system folder serve whichever machine is laid out now: the pointer file
// there names its state folder. Without one, the state folder is beside the program.
static const std::wstring& state_directory() {
    static const std::wstring dir = [] {
        wchar_t system[MAX_PATH + 1] = {};
        UINT n = GetSystemDirectoryW(system, MAX_PATH + 1);
        std::ifstream pointer(std::filesystem::path(std::wstring(system, n <= MAX_PATH ? n : 0) + L"\\" +
                                                    widen(kStatePointerFile)),
                              std::ios::binary);
        std::string named;
        std::getline(pointer, named);
        while (!named.empty() && (named.back() == '\r' || named.back() == ' ')) named.pop_back();
        return named.empty() ? module_directory() + L"\\state" : widen(named);
    }();
    return dir;
}

std::wstring state_path(const std::string& name) {
    CreateDirectoryW(state_directory().c_str(), nullptr);
    return state_directory() + L"\\" + widen(name);
}

nlohmann::json load_state(const std::string& name, nlohmann::json fallback) {
    std::ifstream in(std::filesystem::path(state_path(name)), std::ios::binary);
    if (!in) return fallback;
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    nlohmann::json value = nlohmann::json::parse(text, nullptr, false);
    return value.is_discarded() ? fallback : value;
}

void save_state(const std::string& name, const nlohmann::json& value) {
    // Written aside and moved into place, so a reader never sees half a file.
    std::wstring path = state_path(name);
    std::wstring temp = path + L"." + std::to_wstring(GetCurrentProcessId()) + L".tmp";
    {
        std::ofstream out(std::filesystem::path(temp), std::ios::binary | std::ios::trunc);
        out << value.dump(2);
    }
    MoveFileExW(temp.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING);
}

nlohmann::json fault(const std::string& name) {
    nlohmann::json faults = load_state("faults.json", nlohmann::json::object());
    return faults.is_object() && faults.contains(name) ? faults[name] : nlohmann::json();
}

static void write_std(DWORD which, const std::string& text) {
    std::string bytes;
    for (char c : text) {
        if (c == '\n') bytes += '\r';
        bytes += c;
    }
    DWORD written = 0;
    WriteFile(GetStdHandle(which), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

void out(const std::string& text) { write_std(STD_OUTPUT_HANDLE, text); }
void err(const std::string& text) { write_std(STD_ERROR_HANDLE, text); }

std::vector<ProcessEntry> list_processes() {
    std::vector<ProcessEntry> entries;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return entries;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
        entries.push_back({entry.th32ProcessID, entry.th32ParentProcessID, narrow(entry.szExeFile)});
    }
    CloseHandle(snapshot);
    return entries;
}

bool process_alive(uint32_t pid) {
    HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, pid);
    if (process == nullptr) return false;
    bool alive = WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
    CloseHandle(process);
    return alive;
}

uint64_t process_start_time(uint32_t pid) {
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, pid);
    if (process == nullptr) return 0;
    FILETIME created{}, exited{}, kernel{}, user{};
    bool running = WaitForSingleObject(process, 0) == WAIT_TIMEOUT &&
                   GetProcessTimes(process, &created, &exited, &kernel, &user);
    CloseHandle(process);
    return running ? (static_cast<uint64_t>(created.dwHighDateTime) << 32) | created.dwLowDateTime : 0;
}

nlohmann::json live_interfaces() {
    nlohmann::json all = load_state("interfaces.json", nlohmann::json::array());
    for (const auto& tunnel : load_state("tunnel-interfaces.json", nlohmann::json::array())) {
        if (process_alive(tunnel.value("ownerPid", 0u))) all.push_back(tunnel);
    }
    return all;
}

bool update_interface(const std::string& name, const nlohmann::json& settings) {
    for (const char* file : {"interfaces.json", "tunnel-interfaces.json"}) {
        nlohmann::json list = load_state(file, nlohmann::json::array());
        for (auto& entry : list) {
            if (!iequals(entry.value("name", ""), name)) continue;
            if (entry.contains("ownerPid") && !process_alive(entry.value("ownerPid", 0u))) continue;
            entry.update(settings);
            save_state(file, list);
            return true;
        }
    }
    return false;
}

uint32_t parse_ipv4(const std::string& text, bool* ok) {
    unsigned a, b, c, d;
    char tail;
    *ok = std::sscanf(text.c_str(), "%u.%u.%u.%u%c", &a, &b, &c, &d, &tail) == 4 && a < 256 &&
          b < 256 && c < 256 && d < 256;
    return *ok ? (a << 24) | (b << 16) | (c << 8) | d : 0;
}

std::string format_ipv4(uint32_t v) {
    return std::to_string(v >> 24) + "." + std::to_string((v >> 16) & 255) + "." +
           std::to_string((v >> 8) & 255) + "." + std::to_string(v & 255);
}

std::string lower(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return text;
}

bool iequals(const std::string& a, const std::string& b) { return lower(a) == lower(b); }

}  // namespace winsim
