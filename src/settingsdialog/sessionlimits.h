#pragma once

class Ui_SettingsDialog;

// Shows on the settings pages what this session does not let the program do:
// the hot-key page says why there are no global hot keys, and the keystroke
// overlay and the mouse halo are disabled with a tooltip.
void ShowSessionLimits(Ui_SettingsDialog* ui);
