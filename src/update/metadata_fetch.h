// The request for the metadata document, made on a thread of its own beside
// the self-installation and the installed core's checks.
#pragma once

#include "transfer/http_client.h"
#include "transfer/update_contract.h"

// Starts the request; one whose thread cannot be started is made at once.
void StartMetadataFetch();

// Waits for the request: true with the document in document (kMetaCapacity
// bytes, always terminated); outcome receives how the request went.
bool WaitForMetadata(char* document, HttpOutcome* outcome);
