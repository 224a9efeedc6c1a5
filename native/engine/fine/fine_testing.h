// Test hooks of the fine mode: for tests only.
#pragma once

// Makes every fine-mode frame, in every engine, take the exact mode's
// transform (true) or the mode's own (false, the default). Like every
// set-up, never while a block is being processed.
void fine_exact_transform_for_testing(bool on);
