// The platform's current printer, shared by the print dialogs and print jobs.
#pragma once

class QPrinter;
class QWidget;

QPrinter& PxCurrentPrinter();

// The printer set-up dialog; its choices apply to the current printer.
void PxShowPrinterSetup(QWidget* parent);
