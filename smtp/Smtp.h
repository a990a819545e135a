// Everything of the SMTP client core: replies, the session and its message data, limits.
#pragma once

#include "Fields.h"
#include "MessageData.h"
#include "Reply.h"
#include "Session.h"
#include "Timeouts.h"
