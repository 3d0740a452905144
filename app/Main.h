#pragma once

class MorvexApplication;

// The start-up procedure: shows the main window (whose load refuses a second copy) and
// runs the program until it ends. Returns the process exit status.
int Main(MorvexApplication &app);
