// Hands the messaging service what it needs from above its floor (the serial
// driver table, the port's arbitration words) and gives the ladder engine the
// Talk layer's port blocks.
#pragma once

void Exec_LinkMessaging();
