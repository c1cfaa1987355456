#pragma once
// Numbers shared by the resource script and the code. Plain #defines: the
// resource compiler reads this file too.
#define QUORVEL_ICON_ID 1
