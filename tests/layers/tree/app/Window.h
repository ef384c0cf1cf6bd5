#pragma once
#include "Book.h"
#include "Banner.h"
#include "Grid.h"
#include "Job.h"
#include "Socket.h"
#include "Plugin.h"
