// Script tables of the cellular module: the built-in module's full table and
// the external module's SIM and SMS table.
#include "messaging/atcmd.h"

namespace {

constexpr uint16_t Len(const char *s) {
    uint16_t n = 0;
    while (s[n]) n++;
    return n;
}
// Real command.
constexpr at_cmd_st C(const char *cmd, const char *exp, uint32_t to, uint16_t flags, int16_t next, uint16_t term = 0,
                      uint16_t sep = 0, uint32_t wait = 10000) {
    return {uint8_t(Len(cmd)), cmd, uint8_t(Len(exp)), exp, to, flags, sep, term, 0, next, wait};
}
// Pseudo-command (also the configuration pieces and data pieces).
constexpr at_cmd_st P(const char *cmd, const char *exp, uint32_t to, uint16_t flags, int16_t next, uint16_t term = 0,
                      uint16_t sep = 0, uint16_t item = 0, uint32_t wait = 10000) {
    return {AT_PSEUDO, cmd, uint8_t(Len(exp)), exp, to, flags, sep, term, item, next, wait};
}
// Expected answer of one byte with empty text: every answer holds it.
constexpr at_cmd_st PE(const char *cmd, uint32_t to, uint16_t flags, int16_t next) {
    return {AT_PSEUDO, cmd, 1, "", to, flags, 0, 0, 0, next, 10000};
}
constexpr at_cmd_st CE(const char *cmd, uint32_t to, uint16_t flags, int16_t next) {
    return {uint8_t(Len(cmd)), cmd, 1, "", to, flags, 0, 0, 0, next, 10000};
}
constexpr at_cmd_st End(const char *text) { return {AT_END, text, 0, "", 0, 0, 0, 0, 0, 0, 10000}; }

}  // namespace

const std::array<at_cmd_st, AT_CMD_COUNT> at_cmd = {{
    C("AT#ENHRST=1,0", "", 10000, 0x18, 1, 13, 0, 30000),            // 0
    C("+++", "", 90000, 0x18, 1),                                    // 1
    C("ATE0Q0V1X1Q0&K0", "", 10000, 0x18, 1, 13),                    // 2
    C("AT+IPR=115200", "", 10000, 0x18, 1, 13),                      // 3
    C("AT+IFC=0,0", "", 10000, 0x18, 1, 13),                         // 4
    C("AT+FCLASS=0", "", 10000, 0x18, 1, 13),                        // 5
    C("AT+CFUN=1", "", 10000, 0x18, 1, 13, 0, 30000),                // 6
    C("AT+CMEE=2", "", 10000, 0x18, 1, 13),                          // 7
    C("AT+CPIN?", "", 1000, 0x19, 1, 13, 0, 100000),                 // 8
    P("=", "READY", 0, 0x10, 7, 0, 0, 0, 100000),                    // 9
    P("!", "SIM PIN", 0, 0x10, 3, 0, 0, 0, 100000),                  // 10
    C("AT+CPIN=", "", 1000, 0x40, 5, 0, 0, 100000),                  // 11
    P("SIM_PIN", "", 0, 0x10, 0, 13, 0, 1, 100000),                  // 12
    P("=", "SIM PUK", 0, 0x10, 1, 0, 0, 0, 100000),                  // 13
    C("AT+CPIN=", "", 1000, 0, 2, 0, 0, 100000),                     // 14
    P("SIM_PUK", "", 0, 0x10, 0, 13, 0, 2, 100000),                  // 15
    C("AT+CREG?", "+CREG:", 100000, 0x19, 1, 13),                    // 16
    P("#2", "", 0, 0x10, 1, 0, 44),                                  // 17
    P("=", "1", 0, 0x10, 10),                                        // 18
    P("=", "2", 0, 0x10, -3),                                        // 19
    P("=", "5", 0, 0x10, 1),                                         // 20
    P("%F-MANUAL_REG FLAG", "", 0, 0x10, 1, 0, 0, 4),                // 21
    P("=", "1", 0, 0x10, 2),                                         // 22
    C("AT+COPS=0", "", 2000000, 0x7C, 5, 13),                        // 23
    C("AT+COPS=?", "", 2000000, 0x19, 1, 13, 44),                    // 24
    P("$N-SEARCH_NETWORK", "", 0, 0x18, 1, 0, 0, 4),                 // 25
    C("AT+COPS=1,2,", "", 1000000, 0x68, 2),                         // 26
    P("%1-NET CODE", "", 0, 0x18, 0, 13),                            // 27
    C("AT#AUTOATT=0", "", 10000, 0x10, 1, 13),                       // 28
    C("AT#SGACT=1,0", "#SGACT:", 100000, 0x10, 1, 13),               // 29
    C("AT+CSCA=", "", 10000, 0x04, 2),                               // 30
    P("SMS_CENTRE_NUM", "", 0, 0x10, 0, 13, 0, 3),                   // 31
    C("AT+CMGF=1", "", 10000, 0x14, 1, 13),                          // 32
    C("AT+CSMP=17,167,0,0", "", 10000, 0x14, 1, 13),                 // 33
    C("AT+CMGS=", ">", 500000, 0x82, 2),                             // 34
    P("%1-SMS NUMBER", "", 0, 0x10, 0, 13),                          // 35
    P("%2-SMS DATA", "+CMGS:", 500000, 0x14, 1, 26),                 // 36
    C("AT+CMGL=\"ALL\"", "+CMGL:", 100000, 0x11, 1, 13),             // 37
    P("#1P1-DATA PTR", "", 0, 0x10, 1),                              // 38
    CE("AT+CMGD=", 100000, 0xC0, 1),                                 // 39
    P("%1-MSG INDEX", "", 0, 0x14, 1, 13),                           // 40
    C("AT$GPSP=1", "", 1000, 0xF0, 1, 13),                           // 41
    C("AT+CGDCONT=1,\"IP\",\"", "", 100000, 0, 5),                   // 42
    P("APN", "", 0, 0, 0, 0, 0, 5),                                  // 43
    P("\",\"", "", 0, 0, 0),                                         // 44
    P("PDP_ADR", "", 0, 0, 0, 0, 0, 6),                              // 45
    P("\",0,0", "", 0, 0x10, 0, 13),                                 // 46
    C("AT#SCFG = 1,1,300,90,600,50", "", 10000, 0x10, 1, 13),        // 47
    C("AT#SCFG = 2,1,300,90,600,50", "", 10000, 0x10, 1, 13),        // 48
    C("AT#SCFG = 3,1,300,90,600,50", "", 10000, 0x10, 1, 13),        // 49
    C("AT#SCFG = 4,1,300,90,600,50", "", 10000, 0x10, 1, 13),        // 50
    C("AT#SCFG = 5,1,300,90,600,50", "", 10000, 0x10, 1, 13),        // 51
    C("AT#SCFG = 6,1,300,90,600,50", "", 10000, 0x10, 1, 13),        // 52
    C("AT#SCFGEXT = 1, 0, 0, 0, 0,1", "", 10000, 0x10, 1, 13),       // 53
    C("AT#SCFGEXT = 2, 0, 0, 0, 0,1", "", 10000, 0x10, 1, 13),       // 54
    C("AT#SCFGEXT = 3, 0, 0, 0, 0,1", "", 10000, 0x10, 1, 13),       // 55
    C("AT#SCFGEXT = 4, 0, 0, 0, 0,1", "", 10000, 0x10, 1, 13),       // 56
    C("AT#SCFGEXT = 5, 0, 0, 0, 0,1", "", 10000, 0x10, 1, 13),       // 57
    C("AT#SCFGEXT = 6, 0, 0, 0, 0,1", "", 10000, 0x10, 1, 13),       // 58
    C("AT#FRWL=1,\"0.0.0.0\",\"0.0.0.0\"", "", 10000, 0x10, 1, 13),  // 59
    C("AT#SGACT=1,1,\"", "#SGACT:", 500000, 0x101, 5),               // 60
    P("USERNAME", "", 0, 0, 0, 0, 0, 7),                             // 61
    P("\",\"", "", 0, 0, 0),                                         // 62
    P("PASSWORD", "", 0, 0, 0, 0, 0, 8),                             // 63
    P("\"", "", 0, 0x10, 0, 13),                                     // 64
    P("#1C1-SAVE IP", "", 0, 0, 1, 16),                              // 65
    C("AT#SL=", "", 500000, 0x124, 5),                               // 66
    P("%1-CONNECTION ID", "", 0, 0, 0, 44),                          // 67
    P("%2-OPEN OR CLOSE", "", 0, 0, 0, 44),                          // 68
    P("%3-PORT NUMBER", "", 0, 0x130, 0, 13),                        // 69
    C("AT#SLUDP=", "", 100000, 0x124, 5),                            // 70
    P("%1-CONNECTION ID", "", 0, 0, 0, 44),                          // 71
    P("%2-OPEN OR CLOSE", "", 0, 0, 0, 44),                          // 72
    P("%3-PORT NUMBER", "", 0, 0x10, 0, 13),                         // 73
    C("AT#SD=", "", 500000, 0x164, 9),                               // 74
    P("%1-CONNECTION ID", "", 0, 0, 0, 44),                          // 75
    P("%2-CONNECTION TYPE", "", 0, 0, 0, 44),                        // 76
    P("%3-DIAL_PORT", "", 0, 0, 0, 44),                              // 77
    P("\"", "", 0, 0, 0),                                            // 78
    P("%4-DIAL_IP", "", 0, 0, 0),                                    // 79
    P("\",0", "", 0, 0, 0, 44),                                      // 80
    P("%5-DIAL_UDP_PORT", "", 0, 0, 0, 44),                          // 81
    P("1", "", 0, 0x170, 0, 13),                                     // 82
    End("BREAK COMMAND"),                                            // 83
    P("UNSOLICITED RESPONSE", "SRING:", 0, 0x01, 1),                 // 84
    P("#1S1-CONNECTION ID", "", 0, 0, 1, 0, 44),                     // 85
    P("#2S2-BYTE COUNT", "", 0, 0, 1, 0, 44),                        // 86
    PE("=", 0, 0x18, 6),                                             // 87
    C("AT#SRECV=", "#SRECV:", 100000, 0x1A5, 3),                     // 88
    P("%1-CONNECTION ID", "", 0, 0, 0, 44),                          // 89
    P("%2-BYTE COUNT", "", 100000, 0x1B0, 0, 13),                    // 90
    P("#2P3-BYTE COUNT", "", 100000, 0x10, 1, 0, 44),                // 91
    P("#2P4-SAVE DATA", "", 100000, 0x10, 1, 0, 10),                 // 92
    C("AT#SA=", "", 100000, 0x144, 3),                               // 93
    P("%1-CONNECTION ID", "", 0, 0, 0, 44),                          // 94
    P("1", "", 0, 0x10, 0, 13),                                      // 95
    C("AT#SS", "#SS:", 100000, 0x11, 1, 13),                         // 96
    P("#1S1-SOCKET STATUS", "", 0, 0, 1),                            // 97
    C("AT#SSENDEXT=", ">", 1000000, 0x186, 3),                       // 98
    P("%1-CONNECTION ID", "", 0, 0, 0, 44),                          // 99
    P("%2-BYTE COUNT", "", 1000000, 0x10, 0, 13),                    // 100
    P("%3P-DATA", "", 1000000, 0x14, 1),                             // 101
    C("AT#SH=", "", 100000, 0x04, 2),                                // 102
    P("%1-CONNECTION ID", "", 0, 0x10, 0, 13),                       // 103
    C("AT+CSQ", "+CSQ:", 100000, 0x11, 1, 13),                       // 104
    P("#1P1-DATA PTR", "", 0, 0x10, 1),                              // 105
    C("AT#MONI", "#MONI:", 100000, 0x11, 1, 13),                     // 106
    P("#1P1-DATA PTR", "", 0, 0x10, 1),                              // 107
    C("AT+CGSN", "", 10000, 0x11, 1, 13),                            // 108
    P("#1C1-SAVE IMEI", "", 0, 0x10, 1, 16),                         // 109
    C("AT+CNUM", "+CNUM:", 10000, 0x11, 1, 13),                      // 110
    P("#2C2-SAVE Ph.No", "", 0, 0x10, 1, 20, 44),                    // 111
    C("AT+COPS?", "+COPS:", 10000, 0x11, 1, 13),                     // 112
    P("#3C3-SAVE Nw Name", "", 0, 0x10, 1, 16, 44),                  // 113
    C("AT+GMR", "", 10000, 0x11, 1, 13),                             // 114
    P("#1C4-Sw Version", "", 0, 0x10, 1, 16),                        // 115
    C("AT+GMM", "", 10000, 0x11, 1, 13),                             // 116
    P("#1P5-Modem Model", "", 0, 0x10, 1, 16),                       // 117
    End("END AT COMMAND"),                                           // 118
}};

namespace {
constexpr at_cmd_st ExtCmgl() {
    at_cmd_st e = at_cmd[37];
    e.flags = 0xB1;
    return e;
}
}  // namespace

const std::array<at_cmd_st, AT_CMD_EXT_COUNT> at_cmd_ext = {{
    at_cmd[8],  at_cmd[9],  at_cmd[10], at_cmd[11], at_cmd[12], at_cmd[13],  at_cmd[14],
    at_cmd[15], at_cmd[30], at_cmd[31], at_cmd[32], at_cmd[33], at_cmd[34],  at_cmd[35],
    at_cmd[36], ExtCmgl(),  at_cmd[38], at_cmd[39], at_cmd[40], at_cmd[118],
}};
