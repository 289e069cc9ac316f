// The update host's certificate judged by the machine's trust alone.
#pragma once

#include <windows.h>
#include <winhttp.h>

#include <cstddef>
#include <cstdint>

// What the certificate on a request's connection says of the answer.
enum HostTrust {
    HostCertificateNone,       // no TLS connection: a proxy's own answer to the tunnel request
    HostCertificateTrusted,    // the machine's roots vouch for it as the update host
    HostCertificateUntrusted,  // they do not: nothing of the answer may be used
};

// Judges the certificate that the update host showed on request's connection
// with the local machine's chain engine and the SSL policy for kUpdateHost. When
// untrusted, error is set (a WinHTTP error) and userRoot (units units) names the
// root through which the user's own stores would have trusted it, else is empty.
HostTrust JudgeHostCertificate(HINTERNET request, uint32_t* error, wchar_t* userRoot, size_t units);
