#include "iAssociatedList.h"

#include <gtest/gtest.h>
