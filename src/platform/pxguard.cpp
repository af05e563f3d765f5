#include "platform/pxguard.h"

#include <QApplication>
#include <QMessageBox>
#include <exception>

namespace {

std::function<void(const char*)>& ErrorHandler() {
  static std::function<void(const char*)> handler;
  return handler;
}

std::function<bool(const char*)>& QuestionHandler() {
  static std::function<bool(const char*)> handler;
  return handler;
}

}  // namespace

void PxSetQuestionHandler(std::function<bool(const char* question)> handler) {
  QuestionHandler() = std::move(handler);
}

bool PxAskYesNo(QWidget* parent, const char* question) {
  if (QuestionHandler()) return QuestionHandler()(question);
  return QMessageBox::question(parent, QApplication::applicationName(), QString::fromLocal8Bit(question),
                               QMessageBox::Yes | QMessageBox::No, QMessageBox::No) == QMessageBox::Yes;
}

void PxSetErrorHandler(std::function<void(const char* message)> handler) {
  ErrorHandler() = std::move(handler);
}

void PxShowError(QWidget* parent, const char* message) {
  if (ErrorHandler()) return ErrorHandler()(message);
  QMessageBox::critical(parent, QApplication::applicationName(), QString::fromLocal8Bit(message));
}

void PxShowWarning(QWidget* parent, const char* message) {
  if (ErrorHandler()) return ErrorHandler()(message);
  QMessageBox::warning(parent, QApplication::applicationName(), QString::fromLocal8Bit(message));
}

bool PxRunGuarded(QWidget* parent, const std::function<void()>& work) {
  try {
    work();
    return true;
  } catch (const std::exception& e) {
    PxShowError(parent, e.what());
  } catch (...) {
    PxShowError(parent, "An unexpected error occurred.");
  }
  return false;
}
