#include "Impl.h"
#include "Plugin2.h"
#include "Socket.h"
