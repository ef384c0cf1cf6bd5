#include "Book.h"
#include "Banner.h"
#include "../app/Window.h"
