#pragma once
#include "Plugin.h"
#include "Grid.h"
