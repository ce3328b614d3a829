#pragma once
// What the engine's own files share beyond engine.h.
#include "app/settings_model.h"

// The settings bound by BindEngineSettings (built-in defaults until then).
const KavoSettings& EngineSettings();

// Calls the hook set by SetBeforeStartHook, if any.
void RunBeforeStartHook();

// Empties route r's ring. Only while nothing writes or reads it: its input closed
// (no callback) and no worker.
void ClearRing(int r);
