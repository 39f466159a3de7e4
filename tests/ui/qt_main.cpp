#include "tests/ui/gui_fixture.h"

// Registered before main runs, so every test in this program has the
// application object the widgets need.
static ::testing::Environment* const qtEnvironment =
    ::testing::AddGlobalTestEnvironment(new uitest::QtEnvironment);
