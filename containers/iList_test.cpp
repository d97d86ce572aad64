#include "iList.h"

#include <gtest/gtest.h>
