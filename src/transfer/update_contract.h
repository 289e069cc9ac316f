// What the launcher and the release tool (tovrin-publish) hold the update host
// to: one definition each, so what is staged and what is accepted cannot drift
// apart. Free of Win32, for both.
#pragma once

#include <cstdint>

#define TOVRIN_USER_AGENT "TovrinToolsLauncher/1.0"
#define TOVRIN_RELEASE_FOLDER "tovrin-tools-api/v1"
#define TOVRIN_DOCUMENT_NAME "bootstrap_meta"
#define TOVRIN_EXECUTABLE_NAME "bootstrap_exe"
#define TOVRIN_LAUNCHER_NAME "bootstrap_launcher"

// The two files of a release, below the host's web root: the metadata document
// and the core executable; the launcher asks for them by these paths.
constexpr char kReleaseFolder[] = TOVRIN_RELEASE_FOLDER;
constexpr char kDocumentName[] = TOVRIN_DOCUMENT_NAME;
constexpr char kExecutableName[] = TOVRIN_EXECUTABLE_NAME;
constexpr wchar_t kMetaPath[] = L"/" TOVRIN_RELEASE_FOLDER "/" TOVRIN_DOCUMENT_NAME;
constexpr wchar_t kExePath[] = L"/" TOVRIN_RELEASE_FOLDER "/" TOVRIN_EXECUTABLE_NAME;

// A release may also carry the publisher-signed launcher, served beside the
// core and described by three more members. Launchers that do not know them
// read only "version", "sha256" and "size", which none of these names contains
// as a quoted name, so they are unaffected.
constexpr char kLauncherName[] = TOVRIN_LAUNCHER_NAME;
constexpr wchar_t kLauncherPath[] = L"/" TOVRIN_RELEASE_FOLDER "/" TOVRIN_LAUNCHER_NAME;
constexpr char kLauncherVersionMember[] = "launcher_version";
constexpr char kLauncherDigestMember[] = "launcher_sha256";
constexpr char kLauncherSizeMember[] = "launcher_size";

// The User-Agent of every request, so rules that filter by agent treat the
// release tool's checks as they treat launchers.
constexpr char kUserAgentText[] = TOVRIN_USER_AGENT;
constexpr wchar_t kUserAgent[] = L"" TOVRIN_USER_AGENT;

// A real core build is larger than this; anything smaller is an error page or
// a stub, and the launcher refuses it.
constexpr uint64_t kMinimumCoreBytes = 1000000;

// Nor is a launcher this small.
constexpr uint64_t kMinimumLauncherBytes = 65536;

// The launcher reads the metadata document into this many bytes, keeping at
// most kMetaCapacity - 1 of it.
constexpr uint32_t kMetaCapacity = 4096;
