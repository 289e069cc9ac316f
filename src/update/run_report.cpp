// The run's log lines about its install folder and its requests.
#include "update/run_report.h"

#include "common/run_log.h"
#include "transfer/proxy_rules.h"
#include "update/folder_record.h"
#include "update_host.h"

namespace {

// How the run came by its install folder, when it was not simply the recorded one.
void LogFolderTaken(const FolderTaken& taken)
{
    char aside[kPathUnits * 3];
    if (taken.setAside[0] != L'\0') {
        const char* why = taken.setAsideFile ? "a file was found there in place of the folder"
                          : taken.setAsideLink ? "a link was found there in place of the folder"
                          : taken.setAsideMatch == FolderMatchChanged
                              ? "the folder found there is the recorded one, but its owner or rights are not as this "
                                "launcher left them"
                          : taken.setAsideMatch == FolderMatchOlderForm
                              ? "the folder found there was recorded by an earlier launcher by its ID alone and is not "
                                "owned by Administrators with rights of its own"
                              : "the folder found there was not made by this launcher";
        RunLog("install folder: %s; set aside as %s", why, LogUtf8(taken.setAside, aside, sizeof(aside)));
    }
    if (taken.upgraded) {
        RunLog("install folder: recorded by an earlier launcher by its ID alone, owned by Administrators with rights "
               "of its own: kept%s", taken.recorded ? ", its owner and rights now recorded too" : "");
    }
    if (taken.made) {
        RunLog("install folder: made%s", taken.recorded ? " and recorded" : ", but could not be recorded");
    }
    if (RecordKeyDistrusted()) {
        RunLog("records: HKLM\\SOFTWARE\\TovrinTools let others than administrators write; its records were not "
               "trusted%s", taken.recorded ? ", and it was made anew" : "");
    }
}

}  // namespace

void LogRunStarted(const FolderTaken& taken)
{
    char folder[kPathUnits * 3];
    char host[kPathUnits];
    RunLog("run started; update host %s:%u; install folder %s", LogUtf8(kUpdateHost, host, sizeof(host)),
           static_cast<unsigned>(kUpdatePort), LogUtf8(g_installFolderPath, folder, sizeof(folder)));
    LogFolderTaken(taken);
}

void LogProxyDecision()
{
    ProxyDecision decision;
    wchar_t text[kProxyTextUnits * 2];
    char line[kProxyTextUnits * 6];
    if (HttpProxyDecision(&decision)) {
        FormatProxyDecision(&decision, text, kProxyTextUnits * 2);
        RunLog("%s", LogUtf8(text, line, sizeof(line)));
        RunLog("%s", HttpFastFallback() ? "connection: IPv6 fast fallback"
                                        : "connection: no IPv6 fast fallback in this WinHTTP: a direct connection "
                                          "gets two attempts, the second over IPv4 for a host with both families");
    }
}

void LogRequest(const char* what, bool ok, const HttpOutcome& outcome)
{
    char root[kCertificateNameUnits * 3];
    if (outcome.userRoot[0] != L'\0') {
        RunLog("%s: the host's certificate is trusted only through the user's own root \"%s\"; only the machine's "
               "roots count", what, LogUtf8(outcome.userRoot, root, sizeof(root)));
    }
    if (outcome.logon == ProxyLogonAnswered) {
        RunLog("%s: the proxy asked for the user's Windows logon and got it: the user's settings name it", what);
    } else if (outcome.logon == ProxyLogonWithheld) {
        RunLog("%s: the proxy asked for the user's Windows logon and did not get it: automatic detection found it, "
               "which anyone on the network can answer", what);
    }
    RunLog("%s %s: HTTP status %lu, %llu bytes, error %lu", what, ok ? "succeeded" : "failed",
           static_cast<unsigned long>(outcome.status), static_cast<unsigned long long>(outcome.bytes),
           static_cast<unsigned long>(outcome.error));
}
