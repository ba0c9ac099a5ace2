// Start-up, the polling cycle and the ways out of Guichet.
#pragma once

#include <string>

namespace guichet {

class Guichet;

// The title-pattern checks for the two sibling applications.
bool VaultPilotRunning(Guichet& g);
bool PortailHalveroRunning(Guichet& g);

// One tick of the one-second timer.
void Timer1_Timer(Guichet& g);

// The buttons and the close request of the main window.
void cmdStop_Click(Guichet& g);
void cmdClear_Click(Guichet& g);
void Form_QueryUnload(Guichet& g);

// Start-up steps 1 to 9 and the window load, then the polling loop until the process is
// to end. `instance_free` is the instance guard's answer. Returns the exit code.
int RunGuichet(Guichet& g, bool instance_free);

// The window load: entity table, tasks folder, counters, timer. False when the load
// failed (the window stays, nothing is polled).
bool Form_Load(Guichet& g);

}  // namespace guichet
