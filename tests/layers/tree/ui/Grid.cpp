#include "Grid.h"
#include "Job.h"
#include "Socket.h"
#include <Window.h>
#include <QString>
