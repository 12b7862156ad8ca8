// The programming serial port: its 28-operation driver table, the port lock
// that decides which host owns it, and the intercept rings through which
// another transport can play the port.
#pragma once

#include <array>
#include <type_traits>
#include <cstdint>

// Mode record: rate code, parity, data bits, stop bits, handshake, and in
// byte 5 the protocol of the port's user (low nibble) and options (high).
using VcommMode = std::array<uint8_t, 6>;
extern const VcommMode rism_mode;   // start-up: 9600 8N1, no protocol
extern const VcommMode qncan_mode;  // the command protocol

constexpr uint8_t VCOMM_PROTO_NONE = 0, VCOMM_PROTO_CMD = 1, VCOMM_PROTO_RTU = 3;
// Driver records. Record 0 is the programming serial port ("/dev/ttySP0"),
// record 2 the cellular module's line ("/dev/ttySP2"), both driven by the
// serial driver below; the others are free for transports that play a port
// (an Ethernet or CAN host) and install their own operations with
// Vcomm_Install. A record whose slots are empty is no port.
constexpr uint32_t ProgrammingPort = 0;
constexpr uint32_t CellularPort = 2;
constexpr unsigned VCOMM_PORTS = 4;
constexpr unsigned VCOMM_SERIAL_PORTS = 3;  // Vcomm_Port is indexed by record; 1 is not serial
// 1 for the records the serial driver drives (0 and 2).
constexpr bool Vcomm_IsSerial(uint32_t port) { return port == ProgrammingPort || port == CellularPort; }
constexpr uint32_t VCOMM_NO_PORT = 0xFFFFFFFFu;
constexpr unsigned VCOMM_RING = 2048;

// Receive status bits (StatusRx).
constexpr uint8_t VCOMM_RX_OVERRUN = 0x01;

struct VcommDrv {
    uint8_t *(*ModeRec)(uint32_t port);                                  // 0
    uint32_t (*Open)(uint32_t port, const uint8_t *mode);                // 1
    uint32_t (*Test)(uint32_t port);                                     // 2
    uint32_t (*StatusRx)(uint32_t port, uint32_t clear);                 // 3
    uint32_t (*CheckRx)(uint32_t port);                                  // 4
    uint32_t (*CountRx)(uint32_t port);                                  // 5
    void (*FlushRx)(uint32_t port);                                      // 6
    uint32_t (*GetRx)(uint32_t port);                                    // 7
    uint32_t (*EmptyTx)(uint32_t port);                                  // 8
    uint32_t (*CheckTx)(uint32_t port);                                  // 9
    uint32_t (*CountTx)(uint32_t port);                                  // 10
    void (*FlushTx)(uint32_t port);                                      // 11
    uint32_t (*PutTx)(uint32_t port, uint8_t byte);                      // 12
    uint32_t (*PutnTx)(uint32_t port, const uint8_t *data, uint32_t n);  // 13
    uint32_t (*PutsTx)(uint32_t port, const char *text);                 // 14
    uint32_t (*RtuTx)(uint32_t port);                                    // 15
    uint32_t (*GetRts)(uint32_t port);                                   // 16
    uint32_t (*SetCts)(uint32_t port, uint32_t value);                   // 17
    uint32_t (*GetDtr)(uint32_t port);                                   // 18
    uint32_t (*SetDsr)(uint32_t port, uint32_t value);                   // 19
    uint32_t (*GetDCD)(uint32_t port);                                   // 20
    uint32_t (*Enable)(uint32_t port, uint32_t value);                   // 21
    uint32_t (*InitWait)(uint32_t port, uint32_t us, uint32_t flag);     // 22
    uint32_t (*WaitRx)(uint32_t port, uint8_t *byte);                    // 23
    uint32_t (*IoCtl)(uint32_t port, uint32_t code, uint32_t arg);       // 24
    uint32_t (*SetIntrcpt)(uint32_t port, uint32_t on);                  // 25
    uint32_t (*StuffRx)(uint32_t port, uint8_t byte);                    // 26
    uint32_t (*DrainTx)(uint32_t port, uint8_t *byte);                   // 27
};
static_assert(sizeof(VcommDrv) == 28 * sizeof(void *), "28 operations");

// State of one serial port (private to the serial driver; users go through
// Vcomm_Drv).
struct VcommPort {
    int fd = -1;               // -1: device absent
    VcommMode SerialOpenMode;  // mode in force
    uint8_t status_rx;
    uint8_t VirtualCmd;  // 1: intercepted through the rings
    std::array<uint8_t, VCOMM_RING> rx_buf;
    std::array<uint8_t, VCOMM_RING> tx_buf;
    uint16_t rx_in, rx_out, tx_in, tx_out;
    // Bytes read ahead from the device, handed out one by one.
    std::array<uint8_t, 512> ahead;
    uint16_t ahead_pos, ahead_len;
    // Modbus RTU framing.
    uint8_t rtu_index;         // 0 idle, 2 receiving, 1 frame gap elapsed
    uint8_t rtu_check_kernel;  // the kernel times the gap (never on this build)
    uint32_t rtu_timer;        // receive-character timer handle, 0 none
    std::array<uint8_t, 512> rtu_tx;
    uint16_t rtu_txn;
    // WaitRx.
    uint8_t wait_armed, wait_got, wait_active;
};

extern std::array<VcommDrv, VCOMM_PORTS> Vcomm_Drv;
extern std::array<VcommPort, VCOMM_SERIAL_PORTS> Vcomm_Port;

// Calls one operation of a port's driver; a port past the table or an empty
// slot answers 0 (nothing for an operation without a result).
template <typename R, typename... P, typename... A>
R Vcomm_Call(uint32_t port, R (*VcommDrv::*op)(uint32_t, P...), A... args) {
    const auto fn = port < VCOMM_PORTS ? Vcomm_Drv[port].*op : nullptr;
    if constexpr (std::is_void_v<R>) {
        if (fn) fn(port, args...);
    } else {
        return fn ? fn(port, args...) : R{};
    }
}

// Port lock and host.
extern uint32_t Vcomm_Lock;  // 0 free, bit 0 held by a host, bit 1 held for a second purpose
extern uint32_t Vcomm_Host;  // host code of the holder
extern uint32_t Vcomm_Mode;  // 0 local, 1 forwarded to another CAN node, 2 command host on CAN
extern uint8_t Vcomm_ConnectId;
// Port of each command-protocol host: the programming port, and the
// Ethernet channel once it is installed.
constexpr uint32_t CMD_HOSTS = 2;
extern std::array<uint32_t, CMD_HOSTS> Cmd_HostPort;
extern uint16_t Vcomm_Idle;    // count of releases
extern uint8_t is_z7protocol;  // the port was handed to the IEC runtime

// Fills the table record of serial port 0 or 2 and opens its device with the
// start-up mode; 1 when the device opened, 0 when it is absent (the
// controller runs without it).
uint32_t SCI2_Init(uint32_t port);
void Vcomm_Init();
void Vcomm_GetEvtPtr();
// Claims the port; answers the lock word before the call (0: granted).
uint32_t Vcomm_ModeSet(uint32_t force, uint32_t host, uint32_t mode, uint8_t connect_id);
// 0 free, 1 set bit 0, 2 clear bit 0, 3 set bit 1, 4 clear bit 1.
void Vcomm_LockSet(uint32_t op);

// Installs a transport's operations as driver record `port`; 1 done, 0 when
// the port is out of range or is the serial port's own record.
uint32_t Vcomm_Install(uint32_t port, const VcommDrv &drv);
// 1 when record `port` has operations (ModeRec, Open, CheckRx, GetRx at least).
uint32_t Vcomm_Present(uint32_t port);
// The port's mode record through its slot 0; null when it has none.
uint8_t *Vcomm_ModeRec(uint32_t port);
// Protocol of the port's user: low nibble of byte 5 of its mode record
// (0 when the port has no record).
uint8_t Vcomm_Protocol(uint32_t port);
