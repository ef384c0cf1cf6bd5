#include "Socket.h"
// #include "Window.h" (a comment, not an include)
#  include "Window.h"
