#include "Window.h"
