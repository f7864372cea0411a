// child_process_win32.cpp — the Windows side of the test processes: CreateProcess with an
// environment of its own, a deadline on the wait, TerminateProcess; no fork, so fork_run runs
// the test binary again for the running test alone.
#include <gtest/gtest.h>
#include <stdio.h>
#include <windows.h>

#include <atomic>
#include <map>

#include "tests/support/child_process.h"

namespace kavitest {
namespace {

constexpr char CHILD_VARIABLE[] = "KAVI_TEST_CHILD";  // "<suite>.<test>#<call>" in a child

// quoted: one argument as the C runtime's command-line parser reads it back.
std::string quoted(const std::string &arg) {
    if (!arg.empty() && arg.find_first_of(" \t\"") == std::string::npos) return arg;
    std::string out = "\"";
    size_t backslashes = 0;
    for (char c : arg) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        out.append(c == '"' ? 2 * backslashes + 1 : backslashes, '\\');
        backslashes = 0;
        out.push_back(c);
    }
    out.append(2 * backslashes, '\\');
    return out + "\"";
}

// environment_block: this process's variables, the "NAME=value" entries of env replacing theirs.
std::string environment_block(const std::vector<std::string> &env) {
    std::map<std::string, std::string> vars;
    char *strings = GetEnvironmentStringsA();
    for (const char *e = strings; *e != '\0'; e += strlen(e) + 1) {
        const char *eq = strchr(e + 1, '=');  // names of drive variables begin with '='
        if (eq != nullptr) vars[std::string(e, eq)] = eq + 1;
    }
    FreeEnvironmentStringsA(strings);
    for (const std::string &o : env)
        if (size_t eq = o.find('='); eq != std::string::npos)
            vars[o.substr(0, eq)] = o.substr(eq + 1);
    std::string block;
    for (const auto &[name, value] : vars) block += name + "=" + value + '\0';
    return block + '\0';
}

std::string test_executable() {
    char path[MAX_PATH + 1] = {};
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    return path;
}

}  // namespace

Child Child::fork_run(const std::function<int()> &fn) {
    const auto *test = ::testing::UnitTest::GetInstance()->current_test_info();
    const std::string name = std::string(test->test_suite_name()) + "." + test->name();
    static std::map<std::string, int> calls;  // per test, so a loop's n-th call finds its child
    const std::string key = name + "#" + std::to_string(++calls[name]);
    char wanted[256] = {};
    if (GetEnvironmentVariableA(CHILD_VARIABLE, wanted, sizeof wanted) != 0) {
        if (key != wanted) return Child();  // a call the parent runs in a child of its own
        fflush(nullptr);
        _exit(fn());
    }
    return spawn({test_executable(), "--gtest_filter=" + name},
                 {std::string(CHILD_VARIABLE) + "=" + key});
}

Child Child::spawn(const std::vector<std::string> &argv, const std::vector<std::string> &env,
                   const std::string &stdout_path) {
    std::string command;
    for (const std::string &a : argv) command += (command.empty() ? "" : " ") + quoted(a);
    std::string block = environment_block(env);
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    HANDLE out = INVALID_HANDLE_VALUE;
    if (!stdout_path.empty()) {
        SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
        out = CreateFileA(stdout_path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                          CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
        startup.hStdOutput = out;
        startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    }
    PROCESS_INFORMATION process = {};
    // Without an application name the system finds argv[0] as a shell would, ".exe" added.
    const bool started =
        CreateProcessA(nullptr, command.data(), nullptr, nullptr, out != INVALID_HANDLE_VALUE, 0,
                       block.data(), nullptr, &startup, &process);
    if (out != INVALID_HANDLE_VALUE) CloseHandle(out);
    if (!started) return Child();
    CloseHandle(process.hThread);
    return Child(process.dwProcessId, reinterpret_cast<intptr_t>(process.hProcess));
}

int Child::wait(int timeout_ms) {
    if (pid_ == 0) return -1;
    HANDLE process = reinterpret_cast<HANDLE>(handle_);
    int code = -1;
    if (WaitForSingleObject(process, static_cast<DWORD>(timeout_ms)) != WAIT_OBJECT_0) {
        TerminateProcess(process, 1);
        WaitForSingleObject(process, INFINITE);
    } else if (DWORD exit_code = 0; GetExitCodeProcess(process, &exit_code)) {
        code = static_cast<int>(exit_code);
    }
    CloseHandle(process);
    pid_ = 0;
    handle_ = 0;
    return code;
}

// The exit code a POSIX parent sees for a child killed by the signal.
void Child::kill(int sig) {
    if (pid_ != 0) TerminateProcess(reinterpret_cast<HANDLE>(handle_), 128 + sig);
}

std::string executable_dir() {
    std::string path = test_executable();
    return path.substr(0, path.find_last_of("\\/"));
}

// The libraries write to the handle the system gives as standard error.
bool stderr_to_file(const std::string &path) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    if (SetStdHandle(STD_ERROR_HANDLE, file)) return true;
    CloseHandle(file);
    return false;
}

std::string full_device() {
    return "";
}

bool posix_files() {
    return false;
}

bool fork_run_child() {
    return GetEnvironmentVariableA(CHILD_VARIABLE, nullptr, 0) != 0;
}

bool fork_run_forks() {
    return false;
}

// Wine's ntdll tells its version; the system's has no such call.
bool under_wine() {
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

std::string make_temp_dir() {
    char temp[MAX_PATH + 1] = {};
    GetTempPathA(sizeof temp, temp);
    static std::atomic<int> count{0};
    for (;;) {
        std::string dir = std::string(temp) + "kavitest." + std::to_string(GetCurrentProcessId()) +
                          "." + std::to_string(count++);
        if (CreateDirectoryA(dir.c_str(), nullptr)) return dir;
        if (GetLastError() != ERROR_ALREADY_EXISTS) return temp;
    }
}

}  // namespace kavitest
