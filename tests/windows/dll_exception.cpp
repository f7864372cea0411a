// dll_exception.cpp — an exception that the class layer throws inside kaviexit.dll is caught by
// the program by its class, with its text: the DLL and the program share the runtime DLLs that
// unwind it. Exit code 0 when it is.
#include <cstdio>
#include <cstring>

#include "iexcept.hpp"

int main() {
    try {
        failParameterAssertion("count > 0", ISourceLocation("caller.cpp", "main", 7));
    } catch (const IInvalidParameter &e) {
        const char *text = e.text();
        if (text != nullptr && std::strstr(text, "count > 0") != nullptr) return 0;
        std::printf("caught, but its text is \"%s\"\n", text != nullptr ? text : "(none)");
        return 1;
    } catch (...) {
        std::printf("caught as something else than IInvalidParameter\n");
        return 1;
    }
    std::printf("nothing was thrown\n");
    return 1;
}
