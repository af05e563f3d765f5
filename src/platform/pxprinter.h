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

// The printer set-up dialog: which printer the next print uses, its paper
// and whether it prints in colour. The page always prints portrait, so
// nothing else is offered. Confirmed choices apply to the current printer.
void PxShowPrinterSetup(QWidget* parent);

// The dialog itself, for tests: its three lists are named "PrinterName",
// "PaperSize" (each item's data is the paper's name, as PxPaperName gives
// it) and "ColorMode"; Apply puts its choices onto the current printer.
class QComboBox;
class QDialog;
std::unique_ptr<QDialog> PxNewPrinterSetupDialog(QWidget* parent);
void PxApplyPrinterSetup(QDialog& dialog);

// The current printer's paper with its unprintable margins, and its name
// (the PDF file's for a printer that writes one).
TPxPaper PxCurrentPaper();
std::string PxCurrentPrinterName();
// Puts paper of that size into the current printer, portrait.
void PxSetCurrentPaper(const TPxPaper& paper);

// The print dialog with 1 copy and the page range 1 to 1; true when confirmed.
bool PxShowPrintDialog(QWidget* parent);

// A print job on the current printer. The page is measured from the paper's
// corner, so a picture lands where the page view shows it.
std::unique_ptr<TPxPrintJob> PxNewPrintJob();

// Jobs on a printer of their own, for programs without windows: a page of
// the paper's size (letter unless given) into a PDF file, or to a named print
// queue (TPxPrintError when there is no such queue), whose margins for that
// paper the job's Paper() gives. Each job keeps its printer until it is
// destroyed.
std::unique_ptr<TPxPrintJob> PxNewPdfPrintJob(const std::string& fileName, const TPxPaper& paper = {});
std::unique_ptr<TPxPrintJob> PxNewQueuePrintJob(const std::string& queue, const TPxPaper& paper = {});

// Printing needs the platform's application object; a program without
// windows gets one that needs no display. It lives until the returned
// holder is destroyed (after the jobs); null when one exists already.
std::shared_ptr<void> PxStartHeadlessPrinting();
