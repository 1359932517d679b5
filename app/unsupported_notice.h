#pragma once

// Tells the user that this system is not supported and quits on the answer.
void showUnsupportedNotice();
