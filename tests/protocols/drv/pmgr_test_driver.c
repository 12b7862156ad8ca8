/* A protocol driver for the manager's tests: a device memory of 1024 words
 * that reads answer and writes change; station 0xEF fails every request with
 * 99, station 0xEE answers device error 7. On an Ethernet port (configuration
 * byte 1 not 0) a read goes to the device over the virtual serial port: the
 * request "R", address (2 bytes, little-endian) and count, answered by count
 * little-endian words; the driver sets the wait flag until the answer is
 * whole. Function code 4 names 32-bit values (data type 3): a read of n
 * elements answers 2n words, a changed run's count is in words already;
 * function code 8 names a command without data (data type 0). Station 0xED
 * sets the wait flag at its first read and reads at the next.
 * Two-way commands with string code 7 move 86-byte elements of a memory of 8
 * strings, the address naming the string. Control code 10 answers 1 and
 * puts 0x42 into the value it is given. Built without the magic when
 * PMGR_NO_MAGIC is defined. */
#include <stdint.h>

#include "protocols/pmgr_drv.h"

uintptr_t *drv_svc;
uintptr_t drv_seen[PMGR_S_SLOTS];
uintptr_t drv_read_seen[PMGR_S_SLOTS]; /* the service table at the last read */
uint16_t drv_mem[1024];
uint8_t drv_bits[1024];  /* bit memory of function codes 1 and 2, one byte per bit */
unsigned drv_runs[8][2]; /* count and address of the first bit-run writes */
unsigned drv_bit_writes;
unsigned drv_reads, drv_writes, drv_resets, drv_inits;
unsigned drv_scans, drv_stops;
unsigned drv_waited; /* station 0xED has asked to wait */
uint16_t drv_str[8][43];
unsigned drv_dw_runs[8][2]; /* count and address of the first 32-bit run writes */
unsigned drv_dw_writes;
unsigned drv_control_value; /* the value control code 10 was given */
int drv_last_control;
unsigned drv_last_count, drv_last_addr, drv_last_value;
static uint16_t build = 42;

static intptr_t init(uintptr_t *svc) {
    drv_svc = svc;
    for (int i = 0; i < PMGR_S_SLOTS; i++) drv_seen[i] = svc[i];
    for (int i = 0; i < 1024; i++) drv_mem[i] = (uint16_t)(0x3000 + i);
    for (int i = 0; i < 8; i++)
        for (int j = 0; j < 43; j++) drv_str[i][j] = (uint16_t)(0x5000 + 0x100 * i + j);
    drv_inits++;
    return 0;
}
static void stop(void) { drv_stops++; }
static int is_string(const uint8_t *d) { return d[3] != 0 && d[7] == 7; }
static unsigned count_of(const uint8_t *d) { return d[3] ? d[3] : (unsigned)(d[6] | d[7] << 8); }
static unsigned got, asked;
static uint8_t answer[512];

typedef intptr_t (*svc1)(intptr_t);
typedef intptr_t (*svc2)(intptr_t, intptr_t);

/* Read over the virtual serial port; 0 done, or the wait flag set. */
static intptr_t net_read(uint8_t *d, uint16_t *in) {
    const intptr_t port = ((const uint8_t *)drv_svc[PMGR_S_CONFIG])[1];
    const uint8_t *dev = (const uint8_t *)drv_svc[PMGR_S_DEVICE];
    const unsigned n = count_of(d);
    if (!asked) {
        uint16_t rec[12] = {0};
        rec[0] = (uint16_t)(dev[4] | dev[5] << 8);
        rec[1] = (uint16_t)(dev[6] | dev[7] << 8);
        rec[2] = (uint16_t)(dev[24] | dev[25] << 8);
        ((svc2)drv_svc[PMGR_S_OPEN])(port, (intptr_t)rec);
        if (((svc2)drv_svc[PMGR_S_PUTTX])(port, 'R') != 'R') { /* not connected yet */
            drv_svc[PMGR_S_WAITFLAG] |= 1;
            return 0;
        }
        ((svc2)drv_svc[PMGR_S_PUTTX])(port, d[4]);
        ((svc2)drv_svc[PMGR_S_PUTTX])(port, d[5]);
        ((svc2)drv_svc[PMGR_S_PUTTX])(port, (intptr_t)n);
        ((svc1)drv_svc[PMGR_S_DOTX])(port);
        asked = 1;
        got = 0;
    }
    while (got < 2 * n && ((svc1)drv_svc[PMGR_S_CHECKRX])(port) == 1) {
        const intptr_t b = ((svc1)drv_svc[PMGR_S_GETRX])(port);
        if (b < 0) break;
        answer[got++] = (uint8_t)b;
    }
    if (got < 2 * n) {
        drv_svc[PMGR_S_WAITFLAG] |= 1;
        return 0;
    }
    drv_svc[PMGR_S_WAITFLAG] &= ~(uintptr_t)0xFFFF;
    for (unsigned i = 0; i < n; i++) in[i] = (uint16_t)(answer[2 * i] | answer[2 * i + 1] << 8);
    asked = 0;
    return 0;
}

static intptr_t rd(uint8_t *d, uint16_t *in) {
    const unsigned addr = (unsigned)(d[4] | d[5] << 8), n = count_of(d);
    drv_reads++;
    for (int i = 0; i < PMGR_S_SLOTS; i++) drv_read_seen[i] = drv_svc[i];
    if (((const uint8_t *)drv_svc[PMGR_S_CONFIG])[1] != 0) return net_read(d, in);
    if (d[1] <= 2) {
        for (unsigned i = 0; i < (n + 15) / 16; i++) in[i] = 0;
        for (unsigned i = 0; i < n; i++)
            if (drv_bits[(addr + i) % 1024]) in[i / 16] = (uint16_t)(in[i / 16] | 1u << (i % 16));
        return 0;
    }
    if (d[0] == 0xEF) return 99;
    if (d[0] == 0xEE) return 7;
    if (d[0] == 0xED) { /* asks the manager to wait once, then reads */
        if (!drv_waited) {
            drv_waited = 1;
            drv_svc[PMGR_S_WAITFLAG] |= 1;
            return 0;
        }
        drv_svc[PMGR_S_WAITFLAG] &= ~(uintptr_t)0xFFFF;
    }
    if (is_string(d)) {
        for (unsigned i = 0; i < n; i++)
            for (unsigned j = 0; j < 43; j++) in[43 * i + j] = drv_str[(addr + i) % 8][j];
        return 0;
    }
    for (unsigned i = 0; i < (d[1] == 4 ? 2 * n : n); i++) in[i] = drv_mem[(addr + i) % 1024];
    return 0;
}
static intptr_t wr(uint8_t *d, uint16_t *out) {
    const unsigned addr = (unsigned)(d[4] | d[5] << 8), n = count_of(d);
    if (d[1] <= 2) {
        if (drv_bit_writes < 8) {
            drv_runs[drv_bit_writes][0] = n;
            drv_runs[drv_bit_writes][1] = addr;
        }
        drv_bit_writes++;
        for (unsigned i = 0; i < n; i++) drv_bits[(addr + i) % 1024] = (uint8_t)((out[i / 16] >> (i % 16)) & 1);
        return 0;
    }
    if (d[1] == 4) {
        if (drv_dw_writes < 8) {
            drv_dw_runs[drv_dw_writes][0] = n;
            drv_dw_runs[drv_dw_writes][1] = addr;
        }
        drv_dw_writes++;
        for (unsigned i = 0; i < n; i++) drv_mem[(addr + i) % 1024] = out[i];
        return 0;
    }
    drv_writes++;
    drv_last_count = n;
    drv_last_addr = addr;
    drv_last_value = out[0];
    if (is_string(d)) {
        for (unsigned j = 0; j < 43; j++) drv_str[addr % 8][j] = out[j];
        return 0;
    }
    for (unsigned i = 0; i < n; i++) drv_mem[(addr + i) % 1024] = out[i];
    return 0;
}
static intptr_t classify(intptr_t fc, intptr_t addr) {
    (void)addr;
    return fc <= 2 ? 1 : fc == 4 ? 3 : fc == 8 ? 0 : 4;
}
static void status(uint16_t *w) {
    w[0] = (uint16_t)(0x1100 + drv_writes);
    w[1] = 0x2222;
}
static void reset(void) { drv_resets++; }
static intptr_t control(intptr_t code, void *arg) {
    drv_last_control = (int)code;
    if (code == 10) {
        drv_control_value = *(uint16_t *)arg;
        *(uint16_t *)arg = 0x42;
        return 1;
    }
    return 0;
}
static void scan(void) { drv_scans++; }

static uintptr_t header[PMGR_H_SLOTS];

uintptr_t *DRV_Header(void) {
#ifdef PMGR_NO_MAGIC
    header[PMGR_H_MAGIC] = 0x12345678u;
#else
    header[PMGR_H_MAGIC] = PMGR_MAGIC;
#endif
    header[PMGR_H_NAME] = (uintptr_t) "TESTDRV";
    header[PMGR_H_BUILD] = (uintptr_t)&build;
    header[PMGR_H_INIT] = (uintptr_t)init;
    header[PMGR_H_STOP] = (uintptr_t)stop;
    header[PMGR_H_READ] = (uintptr_t)rd;
    header[PMGR_H_WRITE] = (uintptr_t)wr;
    header[PMGR_H_CLASSIFY] = (uintptr_t)classify;
    header[PMGR_H_STATUS] = (uintptr_t)status;
    header[PMGR_H_RESET] = (uintptr_t)reset;
    header[PMGR_H_CONTROL] = (uintptr_t)control;
    header[PMGR_H_SCAN] = (uintptr_t)scan;
    return header;
}
