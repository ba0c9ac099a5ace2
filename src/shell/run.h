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

// Sets up the watch on "in" and "post" once both folders exist, and again a minute after
// it could not be; the first time the run falls back to the tick alone is logged.
void WatchSpool(Guichet& g);

// Between ticks: takes the watch's notices and, when a request or a piece marker
// arrived (or notices were lost), runs the upload then the request pickup without the
// tick's upkeep. Takes nothing while a request is in hand. A watch that broke is
// dropped, logged once, and the tick carries on alone. Returns whether the pickups ran.
bool PickupsOnArrival(Guichet& g);

// Between two documents of the move cycle: the pickups when files arrived, or when they
// last ran a second ago or more.
void PickupsBetweenDocuments(Guichet& g);

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
