#pragma once

// The event sink type and makeObject live with the platform's host interfaces now.
#include "platform/EventSink.h"
