// What an update run writes to launcher.log about its folder and its requests.
#pragma once

#include "transfer/http_client.h"
#include "update/install_folder.h"

// The first lines of a run in the held folder: the update host, the install
// folder and how the run came by it.
void LogRunStarted(const FolderTaken& taken);

// The route both requests take, once the first has decided it, and whether
// they have IPv6 fast fallback.
void LogProxyDecision();

// One line for a request (what names it): its HTTP status and bytes, or the
// error that ended it; whether a proxy that asked for the user's logon got it;
// and the user's own root that alone would have made the host trusted.
void LogRequest(const char* what, bool ok, const HttpOutcome& outcome);
