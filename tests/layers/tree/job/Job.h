#pragma once
#include "Socket.h"
