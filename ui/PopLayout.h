#pragma once

class frmPop;

// The main window's look: frame, size and position, every control's geometry, colours,
// fonts, tooltips and tab order, and the pictures.
void layoutPopWindow(frmPop &window);
