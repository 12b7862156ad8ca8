// Effects of the VM above its own floor (change subscriptions of the event
// producer, the event server's change notice, the runtime clock) go through
// this table, which the runtime services fill at start. An empty slot answers
// as a runtime without that service.
#pragma once

#include <cstdint>

struct Z7VMHooks {
    // Registers a change subscription; upper and lower hysteresis in the
    // variable's own type and native byte order (8 bytes), or null. Entry
    // number from 1, or 0 when refused.
    uint32_t (*register_change)(uint32_t db, uint32_t client, uint32_t type, uint32_t index, uint32_t id,
                                const uint8_t *upper, const uint8_t *lower, uint32_t ct);
    // Ends a client's subscription: 0 when it had one, 1 otherwise.
    uint32_t (*unregister_change)(uint32_t db, uint32_t client, uint32_t type, uint32_t index, uint32_t ct);
    void (*on_app_change)(void *evs, const char *name);
    // Current date stamp (year << 16 | month << 8 | day) and milliseconds of
    // the day; utc 1 for universal time, 0 local.
    void (*date_time)(uint32_t utc, uint32_t *date, uint32_t *time);
    // Port of the event server reported by the connect request (9000 when empty).
    uint16_t (*event_port)();
};
extern Z7VMHooks Z7VM_Hooks;
