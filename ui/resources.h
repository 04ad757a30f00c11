#pragma once

// Registers the form's compiled-in images (":/res/...") and removes them again.
// The images live in a static library, so they must be pulled in explicitly.
void initUiResources();
void cleanupUiResources();
