#include "Banner.h"
#include "Book.h"
