// The command line's actions that need no window. They run before any GUI
// object exists, so they work without a display.
//
//   Vesk --fingerprint HOST[:PORT] [--starttls]
//       Connects (POP3S, port 995 by default; with --starttls plain POP3 on
//       port 110 and STLS), prints the server certificate's SHA-256
//       fingerprint in the form the Fingerprint setting takes, its subject,
//       issuer and validity, and whether the system's certificate store
//       trusts it for HOST; exit status 0 when a certificate was read.
#pragma once

// Runs the action the arguments ask for: true when one ran (or the
// arguments were wrong), with the process's exit status in ExitCode; false
// when the program is to start normally.
bool RunCommandLine(int argc, char** argv, int& ExitCode);
