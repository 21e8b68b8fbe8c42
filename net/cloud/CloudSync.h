#pragma once

// Cloud sync and sign-in: the upload queue, the upload and download workers, the sign-in
// loopback listener, and the readers of the front end's cloud requests.
#include "net/cloud/CloudRequests.h"
#include "net/cloud/DownloadWorker.h"
#include "net/cloud/OAuthLoopbackServer.h"
#include "net/cloud/UploadQueue.h"
#include "net/cloud/UploadWorker.h"
