#include "tests/ui/gui_fixture.h"

// The dialogs under fault need the application object and the program's
// resources, registered before main runs.
static ::testing::Environment* const qtEnvironment =
    ::testing::AddGlobalTestEnvironment(new uitest::QtEnvironment);
