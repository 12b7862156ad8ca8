// Feeds the AT script engine a module's answer from the input: the first
// byte picks the script (SIM check, registration, operator list, SMS list,
// socket read, socket status, signal, identity, SMS send), the rest is what
// the module sends; the script is stepped until it completes, and a socket
// status answer is applied to the socket records.
#include <cstdint>
#include <cstring>

#include "fuzz/msg_fuzz_port.h"
#include "messaging/atcmd.h"

namespace {
struct Script {
    uint32_t first, count;
};
constexpr Script kScripts[] = {{8, 26}, {16, 18}, {24, 10}, {37, 2},   {88, 5},
                               {96, 2}, {104, 2}, {106, 2}, {108, 10}, {34, 3}};
std::array<char, 64> slot_text[6];
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 2) return 0;
    const Script sc = kScripts[data[0] % (sizeof kScripts / sizeof kScripts[0])];
    msg_fuzz::Install(data + 1, size - 1);
    at_status = AtStatus{};
    at_status.socket = uint8_t(data[1] % 7);
    at_status.prompt = 2;
    for (unsigned k = 0; k < 6; k++) {
        slot_text[k] = {};
        at_stack_data[k] = AtSlot{0, slot_text[k].data(), uint16_t(slot_text[k].size()), nullptr};
    }
    AT_SetConfig(4, "OPERATOR", 8);
    uint8_t *buf = sc.first == 88 ? socket_info_st[0].data.data() : at_resp.data();
    const uint16_t bsize = sc.first == 88 ? uint16_t(socket_info_st[0].data.size()) : 1600;
    AT_Load(at_cmd.data(), sc.first, sc.count, buf, bsize);
    at_status.state = sc.first;
    for (int i = 0; i < 64 && at_status.loaded; i++) {
        at_status.sent_at -= 2000000;  // every wait runs out
        AT_Step();
    }
    if (sc.first == 96) AT_ApplySocketStatus(slot_text[0].data(), uint32_t(std::strlen(slot_text[0].data())));
    // Captured pointers stay inside the answer buffer.
    for (const AtSlot &s : at_stack_data) {
        if (s.ptr && (s.ptr < buf || s.ptr + s.len > buf + bsize + 1)) __builtin_trap();
    }
    return 0;
}
