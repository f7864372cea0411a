// trace_signatures.cpp — the items of every trace record of the exit library, call by call, as
// its trace calls write them (function name, kind, then the items in order).
#include "tools/kavi/trace_signatures.h"

namespace kavitool {

namespace {

constexpr size_t SIGNATURE_ITEMS = 5;  // the most items a call of this system traces

struct Signature {
    const char *function;  // a trailing '*' matches every function with that prefix
    uint32_t kind;         // 0: any kind
    ItemSpec items[SIGNATURE_ITEMS];
};

const Signature SIGNATURES[] = {
    {"DllMain", 1, {{"reason", Form::u32}}},
    {"KaviInitialize", 1, {{"exit_name", Form::text}, {"exit_function", Form::address}}},
    {"KaviInitialize", 2, {{"code", Form::i16}}},
    {"KaviInit",
     1,
     {{"exit_name", Form::text}, {"exit_function", Form::address}, {"run_mode", Form::u32}}},
    {"KaviInit",
     2,
     {{"code", Form::i16},
      {"exit_name", Form::text},
      {"exit_function", Form::address},
      {"run_mode", Form::u32}}},
    {"KaviWait", 1, {{"name", Form::text}, {"seconds", Form::i32}}},
    {"KaviWait", 2, {{"result", Form::u32}, {"name", Form::text}}},
    {"KaviTerminate", 1, {{"exit_name", Form::text}}},
    {"KaviTerminate", 2, {{"result", Form::u32}, {"exit_name", Form::text}}},
    {"KaviSend",
     1,
     {{"calling_exit", Form::text},
      {"target_exit", Form::text},
      {"target_node", Form::text},
      {"block", Form::block}}},
    {"KaviSend",
     2,
     {{"result", Form::u32},
      {"calling_exit", Form::text},
      {"target_exit", Form::text},
      {"target_node", Form::text},
      {"block", Form::block}}},
    {"VuleQueThread", 1, {{"start_record", Form::address}, {"exit_name", Form::text}}},
    {"VuleQueThread", 2, {{"exit_name", Form::text}}},
    {"VuleQueThread", 3, {{"message", Form::message}}},
    {"VulequetInvokeExit", 1, {{"record", Form::invocation}, {"exit_name", Form::text}}},
    {"VulequetInvokeExit", 2, {{"exit_name", Form::text}}},
    {"VulequetCheckAndAddSV", 1, {{"capacity", Form::u32}, {"element_type", Form::u16}}},
    {"VulequetSendReply",
     1,
     {{"message", Form::message}, {"correlation", Form::correlation}, {"status", Form::u16}}},
    {"VuleRLAdd", 1, {{"exit_name", Form::text}, {"key", Form::correlation}}},
    {"VuleRLDel",
     1,
     {{"exit_name", Form::text}, {"key", Form::correlation}, {"code_out", Form::address}}},
    {"VuleRLChange",
     1,
     {{"exit_name", Form::text}, {"key", Form::correlation}, {"code", Form::u16}}},
    {"VuleRLTermExit", 1, {{"exit_name", Form::text}}},
    {"VuleRL*", 2, {{"result", Form::u32}}},
    {"VuleSingleThreadPost", 1, {{"record", Form::invocation}}},
    {"VuleSingleThreadDispatcher",
     1,
     {{"start_record", Form::invocation}, {"exit_name", Form::text}}},
    {"VuleSingleThreadDispatcher", 2, {{"exit_name", Form::text}}},
    // The exit classes trace an object's debug text, and sometimes one value; the exit object's
    // destructor ends with its KaviTerminate result alone.
    {"VuleCommandExit::~VuleCommandExit", 2, {{"result", Form::u32}}},
    {"VuleCommandExit::*", 0, {{"debug_info", Form::text}, {"value", Form::i32}}},
    {"VuleCommandExitParms::*", 0, {{"debug_info", Form::text}}},
};

}  // namespace

const ItemSpec *spec_of(std::string_view function, uint32_t kind, size_t index) {
    if (index >= SIGNATURE_ITEMS) return nullptr;
    for (const Signature &s : SIGNATURES) {
        std::string_view name = s.function;
        bool matches = name.back() == '*'
                           ? function.substr(0, name.size() - 1) == name.substr(0, name.size() - 1)
                           : function == name;
        if (matches && (s.kind == 0 || s.kind == kind))
            return s.items[index].name != nullptr ? &s.items[index] : nullptr;
    }
    return nullptr;
}

}  // namespace kavitool
