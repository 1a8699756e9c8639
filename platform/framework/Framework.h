// The framework layer: everything the program's own code calls for its window, files, threads
// and application object. Only platform/ sees Qt.
#pragma once

#include "platform/WinTypes.h"
#include "platform/framework/File.h"
#include "platform/framework/Gdi.h"
#include "platform/framework/MessageMap.h"
#include "platform/framework/Messages.h"
#include "platform/framework/Resources.h"
#include "platform/framework/String.h"
#include "platform/framework/Thread.h"
#include "platform/framework/WinApp.h"
#include "platform/framework/Wnd.h"
