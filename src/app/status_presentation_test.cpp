#include "app/status_presentation.h"

#include <gtest/gtest.h>
