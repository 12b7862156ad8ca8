// Parts of messaging that have no engine of their own yet: the MQTT client
// and the e-mail client.
#include "messaging/messaging.h"

// placeholder until the MQTT client lands
void mqttStateLoop() {}
// placeholder until the e-mail client lands
void EtnEmailScan(int) {}
