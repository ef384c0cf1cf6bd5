#pragma once
#include "Plugin.h"
