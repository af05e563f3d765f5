// The application's default error handler: an exception that leaves an event
// handler is shown to the user in a message box and the handler ends there.
#pragma once

#include <functional>

class QWidget;

// Runs work; an exception it raises is shown with its message. Returns false then.
bool PxRunGuarded(QWidget* parent, const std::function<void()>& work);

// Shows a message the way failed operations are reported.
void PxShowError(QWidget* parent, const char* message);

// Shows what the user should know of an operation that went through.
void PxShowWarning(QWidget* parent, const char* message);

// Asks a question answered Yes or No; No is the default answer.
bool PxAskYesNo(QWidget* parent, const char* question);

// Take the reported messages (errors and warnings) and answer the questions
// instead of the message boxes, which would wait for a click (window tests);
// an empty handler brings the boxes back.
void PxSetErrorHandler(std::function<void(const char* message)> handler);
void PxSetQuestionHandler(std::function<bool(const char* question)> handler);
