// Front panel: the RUN and LOAD buttons (mode change, load from the card, the
// held-button reset) and the two status LEDs, stepped by the service tick
// every 10 ms.
#include "exec/panel.h"

#include <cstdio>
#include <unistd.h>

#include "cmd/cmd.h"
#include "core/image/plcreg.h"
#include "core/image/timebase.h"
#include "exec/install.h"
#include "exec/plcmode.h"
#include "exec/sys.h"
#include "media/cfm.h"
#include "platform/plat.h"

namespace {
std::array<uint8_t, 4> samples;
uint8_t sample_idx;
uint32_t threeSec;
uint8_t saved_mode;
uint32_t update_result;
uint8_t update_kept;
uint8_t mode_restored;
uint32_t blink_last;
uint8_t blink_on, blink_started, blink_first_off;

constexpr uint32_t kHold = 300;  // 3 s in 10 ms units

}  // namespace

void Panel_ButtonStep() {
    const uint8_t sample = uint8_t(ButtonSample());
    samples[sample_idx] = sample;
    sample_idx = uint8_t((sample_idx + 1) & 3);
    const uint8_t all = samples[0] & samples[1] & samples[2] & samples[3];
    const bool stable =
        samples[0] != 0 && samples[0] == samples[1] && samples[1] == samples[2] && samples[2] == samples[3];
    const bool released = all != button_hit;
    const bool held = sysDTic - threeSec >= kHold;
    switch (button_state) {
    case 0:
        if (stable) {
            button_hit = samples[0];
            threeSec = sysDTic;
            button_state = button_hit == PLAT_BTN_RUN ? 1 : button_hit == PLAT_BTN_LOAD ? 3 : 6;
        }
        break;
    case 1:
        if (held) {
            button_state = 2;
            if (!Cmd_Downloading) SetPlcMode(PlcWord(W_MODE) == 0 ? 2 : 0);
            std::printf("Changed the Controller Mode\n");
        } else if (released) {
            button_state = 0;
            std::printf("Didn't Changed the Controller Mode\n");
        }
        break;
    case 2:
        if (released) {
            button_state = 0;
            std::printf("RUN Button Released\n");
        }
        break;
    case 3:
        if (held) {
            saved_mode = plc_reg[2 * W_MODE];
            button_state = 4;
        } else if (released) {
            button_state = 0;
            std::printf("Didn't Load Program to the Controller\n");
        }
        break;
    case 4: {
        const uint32_t r = UpdateKernFirmApplic(sample, sysDTic);
        if (r == 0) break;
        update_result = r;
        update_kept = 1;
        mode_restored = 0;
        button_state = 5;
        if (!(r & 0x20)) {
            Flashcount = 5;
        } else if (!(r & 0x05) && !(r & 0x40)) {
            std::printf("Kernel/Firmware/Applic files missing\n");
            Flashcount = 4;
        } else if (r & 0x40) {
            Sys_LoadPGM_Status = 1;
            Sys_ManualLoadKey = 1;
        }
        break;
    }
    case 5:
        if (update_kept) {
            if (Sys_LoadPGM_Status == 0) update_kept = 0;
        } else {
            // The saved mode comes back once, not on every step until release.
            if (!mode_restored) {
                mode_restored = 1;
                SetPlcMode(saved_mode);
            }
            if (released) {
                button_state = 0;
                std::printf("LOAD Button Release\n");
            }
        }
        break;
    case 6:
        if (held) {
            std::printf("Do VGD\n");
            button_state = 0;
            SetStatusLeds_fork();
            sleep(3);
            SYS_VDG();
        } else if (released) {
            button_state = 0;
            std::printf("Didn't Do VGD\n");
        }
        break;
    default: button_state = 0; break;
    }
    std::fflush(stdout);
    (void)update_result;
}

void LED_Update() {
    if (Cmd_Downloading || Sys_LoadPGM_Status) {
        SYS_SetStatusLeds(11, 11);
        return;
    }
    if (Flashcount == 0) {
        blink_started = 0;
        SYS_SetStatusLeds(SYS_GetOkLed(), SYS_GetRunLed());
        return;
    }
    if (!blink_started) {
        blink_started = 1;
        blink_on = 1;
        blink_first_off = 1;
        blink_last = sysDTic;
        SYS_SetStatusLeds(1, 1);
        return;
    }
    if (sysDTic - blink_last >= 50) {
        blink_last = sysDTic;
        blink_on = !blink_on;
        if (!blink_on) {
            if (blink_first_off)
                blink_first_off = 0;
            else if (Flashcount != 255)
                Flashcount--;
        }
    }
    SYS_SetStatusLeds(blink_on, blink_on);
}
