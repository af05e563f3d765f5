// The printing service over Qt: the current printer, its two dialogs and
// print jobs on it (CUPS printers and PDF files alike).
#pragma once

#include <memory>
#include <string>

#include "imaging/core/pxprint.h"

class QPrinter;
class QWidget;

// The printer that the dialogs set up and the next job uses.
QPrinter& PxCurrentPrinter();

// The printer set-up dialog; its choices apply to the current printer.
void PxShowPrinterSetup(QWidget* parent);

// The print dialog with 1 copy and the page range 1 to 1; true when confirmed.
bool PxShowPrintDialog(QWidget* parent);

// Points the current printer at a PDF file instead of a print queue.
void PxPrintToPdf(const std::string& fileName);
// Points the current printer at a named print queue; throws TPxPrintError when there is none.
void PxPrintToQueue(const std::string& queue);

// A print job on the current printer. The page is measured from the paper's
// corner, so a picture lands where the page view shows it.
std::unique_ptr<TPxPrintJob> PxNewPrintJob();
