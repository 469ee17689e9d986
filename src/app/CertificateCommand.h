// `Vesk --fingerprint HOST[:PORT] [--starttls]`: shows a server's certificate
// and the fingerprint to pin it with.
#pragma once

#include <string>

// --fingerprint: connects to `target` (HOST or HOST:PORT; POP3S on port 995
// by default, with `startTls` plain POP3 on port 110 and then STLS), prints
// the server certificate's SHA-256 fingerprint in the form the Fingerprint
// setting takes, its subject, issuer and validity, and whether the system's
// certificate store trusts it for HOST. Answers the exit status: 0 when a
// certificate was read, 1 when none was, 2 for a target it cannot use. Needs
// a QCoreApplication and nothing of the GUI.
int ShowCertificate(const std::string& target, bool startTls);
