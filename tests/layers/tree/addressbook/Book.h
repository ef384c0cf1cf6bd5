#pragma once
#include "Grid.h"
