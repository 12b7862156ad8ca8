// I2C device access of the expansion bus (EEPROMs, expanders, sensors) and
// the SSP2 output exchange with the I/O board's shift registers. Bus
// addresses are 8-bit forms. The device-access calls answer 0 for success.
#pragma once

#include <cstddef>
#include <cstdint>

// Bus speed in Hz: 400000 selects the fast timing, anything else 100 kHz.
void I2C_init(uint32_t speed);
uint32_t I2C_query(uint32_t address);
uint32_t I2C_read_mem(uint8_t *buf, uint32_t combined, uint32_t count, uint32_t mode);
uint32_t I2C_write_mem(const uint8_t *buf, uint32_t combined, uint32_t count, uint32_t mode);
uint32_t I2C_read_io(uint32_t address, uint8_t *buf, uint32_t mode);
uint32_t I2C_write_io(uint32_t address, const uint8_t *buf, uint32_t mode);
// Cold-junction sensor at 0x96 (LM92) or 0x9E (TMP275): temperature in
// 1/16 degC steps; 0 done.
uint32_t I2C_read_LM92(uint32_t address, int32_t *out);

// Pause between single-byte EEPROM transactions (500 us on the board);
// tests replace it.
extern void (*i2c_pause_us)(uint32_t us);
// Kernel build number as the board's I2C layer computes it from words 54283/54284.
int32_t I2C_KernelBuild();

// ---- SPI on SSP1/SSP2 (programmed I/O) ----------------------------------------
struct SpiDevice {
    uint8_t bus;     // 1 SSP1, 2 and 3 SSP2 (0: none)
    uint8_t select;  // chip select number; low two bits of the mode byte below
    uint8_t speed;   // speed code 1..12
    uint8_t option;  // pin option
};
uint32_t spi_init(const SpiDevice *dev);
uint32_t spi_enable_cs(const SpiDevice *dev);
uint32_t spi_disable_cs(const SpiDevice *dev);
uint32_t spi_data_trans(uint32_t bus, uint8_t *buf, uint32_t count, uint32_t read);
uint32_t spi_close(const SpiDevice *dev);

// ---- SSP2 output exchange -----------------------------------------------------
// Output word of a channel := (word | set) & ~clear, shifted out; channels 0
// and 1 answer the 16 bits read back, channel 2 answers 0, above 2 nothing.
uint32_t Ssp2_Xch(uint32_t set, uint32_t clear, uint32_t channel);
bool Ssp2_Busy();
uint32_t ssp2_pin_ctrl(uint32_t bus, uint32_t option);
