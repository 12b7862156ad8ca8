/* Interface between the protocol manager and a loadable protocol driver (a C
 * shared object). Header, service table and control-block slots are
 * pointer-sized words: slot k of the header sits at byte k * sizeof(uintptr_t).
 * The driver exports "DRV_Header", a function answering its header. */
#ifndef PMGR_DRV_H
#define PMGR_DRV_H

#include <stdint.h>

#define PMGR_MAGIC 0xA5A55A5Au

/* Header slots. */
enum {
    PMGR_H_MAGIC = 0,
    PMGR_H_NAME = 1,
    PMGR_H_BUILD = 3,
    PMGR_H_INIT = 5,
    PMGR_H_STOP = 6,
    PMGR_H_READ = 7,
    PMGR_H_WRITE = 8,
    PMGR_H_CLASSIFY = 9,
    PMGR_H_STATUS = 10,
    PMGR_H_RESET = 11,
    PMGR_H_SPARE = 12,
    PMGR_H_CONTROL = 13,
    PMGR_H_SCAN = 14,
    PMGR_H_SLOTS = 15
};

typedef uintptr_t *(*PmgrHeaderFn)(void);
typedef intptr_t (*PmgrInitFn)(uintptr_t *svc);
typedef void (*PmgrVoidFn)(void);
typedef intptr_t (*PmgrReadFn)(uint8_t *desc, uint16_t *in);
typedef intptr_t (*PmgrWriteFn)(uint8_t *desc, uint16_t *out);
typedef intptr_t (*PmgrClassifyFn)(intptr_t fc, intptr_t addr);
typedef void (*PmgrStatusFn)(uint16_t *w);
typedef intptr_t (*PmgrControlFn)(intptr_t code, void *arg);

/* Service-table slots (each a function taking and answering intptr_t, port
 * first, or a value). */
enum {
    PMGR_S_HEADER = 0,
    PMGR_S_DATA = 1,
    PMGR_S_CONFIG = 2,
    PMGR_S_DEVICE = 3,
    PMGR_S_ENTRY = 4,
    PMGR_S_BEEP = 5,
    PMGR_S_WAIT = 6,
    PMGR_S_TCREATE = 7,
    PMGR_S_TWRITE = 8,
    PMGR_S_TREAD = 9,
    PMGR_S_TCLOSE = 10,
    PMGR_S_OPEN = 11,
    PMGR_S_FLUSHTX = 12,
    PMGR_S_PUTTX = 13,
    PMGR_S_DOTX = 14,
    PMGR_S_FLUSHRX = 15,
    PMGR_S_CHECKRX = 16,
    PMGR_S_GETRX = 17,
    PMGR_S_INITWAIT = 18,
    PMGR_S_WAITRX = 19,
    PMGR_S_IOCTL = 20,
    PMGR_S_R1 = 21,
    PMGR_S_AQ1 = 22,
    PMGR_S_AI1 = 23,
    PMGR_S_SR1 = 24,
    PMGR_S_NAI = 25,
    PMGR_S_NAQ = 26,
    PMGR_S_NR = 27,
    PMGR_S_PUTNTX = 28,
    PMGR_S_REGPTR = 29,
    PMGR_S_REGGET = 30,
    PMGR_S_REGSET = 31,
    PMGR_S_WAITFLAG = 32,
    PMGR_S_CLOSE1 = 33,
    /* The manager's fields behind the table, for the driver to read. */
    PMGR_S_SCANLIST = 34,
    PMGR_S_COMMANDS = 35,
    PMGR_S_NCMD = 36,
    PMGR_S_GROUP = 37,
    PMGR_S_GROUPCMD = 38,
    PMGR_S_GROUPN = 39,
    PMGR_S_DEVICES = 40,
    PMGR_S_NDEV = 41,
    PMGR_S_CTLREQ = 42,
    PMGR_S_CTLRESULT = 43,
    PMGR_S_CTLARG = 44,
    PMGR_S_CFGBLOCK = 45,
    PMGR_S_STATUSAREA = 46,
    PMGR_S_CYCLE = 47,
    PMGR_S_SPARE1 = 48,
    /* The same slot: an Ethernet driver's device table (16-byte entries up
       to one of zeros), which no 32-bit word of its configuration block
       can address on this build. */
    PMGR_S_DEVTABLE = 48,
    PMGR_S_CYCLESTART = 49,
    PMGR_S_TRIGSAVED = 50,
    PMGR_S_TRIGBYTE = 51,
    PMGR_S_TRIGVALUE = 52,
    PMGR_S_SPARE2 = 53,
    PMGR_S_RESUME = 54,
    PMGR_S_SLOTS = 55
};

typedef intptr_t (*PmgrSvc0)(void);
typedef intptr_t (*PmgrSvc1)(intptr_t);
typedef intptr_t (*PmgrSvc2)(intptr_t, intptr_t);
typedef intptr_t (*PmgrSvc3)(intptr_t, intptr_t, intptr_t);

/* Command block: the fixed order of the board's 56-byte block, with
 * pointer-sized addresses. */
typedef struct PmgrCommand {
    uint8_t state;
    uint8_t type;
    uint8_t bit_offset;
    uint8_t count;
    uint16_t spare;
    uint16_t flags;
    uint8_t run_offset;
    uint8_t run_length;
    uint8_t run_start;
    uint8_t trig_mask;
    uint16_t *out;
    uint16_t *in;
    uint8_t *reg;
    uint8_t *trig;
    void *device;
    uint8_t *entry;
    uintptr_t put, cmp, get;
    uint16_t resume;
    uint32_t wait_start;
} PmgrCommand;

#endif
