/* Modbus RTU master of the IEC serial black-box test, on libmodbus: usage
 * rtu_master DEVICE. Talks to slave 17 and prints one line per check:
 *   fc3 V0 V1 V2               holding registers 0..2
 *   two HEX HEX                answers to two requests sent in one write
 *   slave18 RC ERRNO           a read of slave 18 (-1 and ETIMEDOUT: silence)
 *   badcrc WAITING V0          bytes answered to a frame with a bad CRC, then HR0
 *   broadcast WAITING V1       bytes answered to a broadcast FC6 of HR1, then HR1
 *   exception RC ERRNO         a read past the table
 * and finally sends the controller's frame start, which gives the port back. */
#include <errno.h>
#include <modbus.h>
#include <poll.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

static uint16_t crc16(const uint8_t *p, int n) {
    uint16_t c = 0xFFFF;
    for (int i = 0; i < n; i++) {
        c ^= p[i];
        for (int b = 0; b < 8; b++) c = (c & 1) ? (c >> 1) ^ 0xA001 : c >> 1;
    }
    return c;
}

static int frame(uint8_t *out, const uint8_t *pdu, int n) {
    memcpy(out, pdu, n);
    const uint16_t c = crc16(pdu, n);
    out[n] = c & 0xFF;
    out[n + 1] = c >> 8;
    return n + 2;
}

/* Bytes that arrive within ms milliseconds. */
static int waiting(int fd, int ms) {
    uint8_t buf[64];
    int total = 0;
    struct pollfd p = {fd, POLLIN, 0};
    while (poll(&p, 1, ms) > 0) {
        const ssize_t r = read(fd, buf, sizeof buf);
        if (r <= 0) break;
        total += (int)r;
    }
    return total;
}

static void hex(const uint8_t *b, int n) {
    putchar(' ');
    for (int i = 0; i < n; i++) printf("%02x", b[i]);
}

int main(int argc, char **argv) {
    if (argc != 2) return 2;
    modbus_t *ctx = modbus_new_rtu(argv[1], 115200, 'N', 8, 1);
    if (ctx == NULL || modbus_connect(ctx) != 0) return 1;
    modbus_set_response_timeout(ctx, 0, 500000);
    modbus_set_slave(ctx, 17);
    const int fd = modbus_get_socket(ctx);
    uint16_t r[20];

    /* the application may take a few cycles to hold the port: first answer
     * within 10 s (the unanswered tries are seen by the command driver) */
    int rc = -1;
    for (int i = 0; i < 20 && rc != 3; i++) rc = modbus_read_registers(ctx, 0, 3, r);
    if (rc != 3) return 1;
    printf("fc3 %04x %04x %04x\n", r[0], r[1], r[2]);

    uint8_t two[16], ans[MODBUS_RTU_MAX_ADU_LENGTH];
    const uint8_t q1[] = {0x11, 0x03, 0x00, 0x00, 0x00, 0x01}, q2[] = {0x11, 0x03, 0x00, 0x01, 0x00, 0x02};
    int n = frame(two, q1, 6);
    n += frame(two + n, q2, 6);
    if (write(fd, two, n) != n) return 1;
    printf("two");
    for (int k = 0; k < 2; k++) {
        const int got = modbus_receive_confirmation(ctx, ans);
        hex(ans, got > 0 ? got : 0);
    }
    printf("\n");

    modbus_set_slave(ctx, 18);
    rc = modbus_read_registers(ctx, 0, 1, r);
    printf("slave18 %d %s\n", rc, rc < 0 && errno == ETIMEDOUT ? "ETIMEDOUT" : "other");
    modbus_set_slave(ctx, 17);

    const uint8_t bad[] = {0x11, 0x03, 0x01, 0x6B, 0x02, 0x03, 0xAA, 0xBB};
    if (write(fd, bad, sizeof bad) != (ssize_t)sizeof bad) return 1;
    const int after_bad = waiting(fd, 300);
    rc = modbus_read_registers(ctx, 0, 1, r);
    printf("badcrc %d %04x\n", after_bad, rc == 1 ? r[0] : 0xFFFF);

    modbus_set_slave(ctx, MODBUS_BROADCAST_ADDRESS);
    modbus_write_register(ctx, 1, 0x0BEE);
    const int after_bc = waiting(fd, 300);
    modbus_set_slave(ctx, 17);
    rc = modbus_read_registers(ctx, 1, 1, r);
    printf("broadcast %d %04x\n", after_bc, rc == 1 ? r[0] : 0xFFFF);

    rc = modbus_read_registers(ctx, 0, 20, r);
    printf("exception %d %s\n", rc, rc < 0 && errno == EMBXILADD ? "EMBXILADD" : "other");

    const uint8_t hr[] = {'H', 'R', 0, 0};
    if (write(fd, hr, sizeof hr) != (ssize_t)sizeof hr) return 1;
    tcdrain(fd);
    modbus_close(ctx);
    modbus_free(ctx);
    fflush(stdout);
    return 0;
}
