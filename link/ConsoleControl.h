#pragma once
// The console control handler: Ctrl+C in the terminal that started the program signals the stop
// event (ending a wait for received characters at once) instead of ending the process.

class TStopEvent;

// Registers the handler (again) and makes it signal the given event; nullptr disconnects it.
void SetConsoleStopEvent(TStopEvent* stopEvent);
