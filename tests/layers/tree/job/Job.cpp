#include "Job.h"
#include "Grid.h"
