// Front panel: RUN and LOAD buttons and the status LEDs.
#pragma once

// One step of the buttons (every 10 ms, from the service tick).
void Panel_ButtonStep();
// Shows the controller's state on the status LEDs (every 10 ms).
void LED_Update();
