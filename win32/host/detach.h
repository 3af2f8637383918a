// What the libraries of a process do when it ends without returning from main
// (ExitProcess, TerminateProcess of itself): Windows calls each loaded library with
// DLL_PROCESS_DETACH. The libraries of the layer sit above the host side, so each one
// that keeps unwritten state registers its own step here, and the process functions
// run them without knowing whose they are.
#pragma once

namespace hivemend::win32 {

using DetachStep = void (*)();

// Registers a step; steps run in the order they were registered. Meant for static
// registration objects, so it is safe before main.
void on_process_detach(DetachStep step);

// Runs every registered step once per call.
void run_process_detach();

}  // namespace hivemend::win32
