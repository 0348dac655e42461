// The program's twenty forms: created once in their start-up order, the main window first, each held
// by the global of its name, and destroyed in the reverse order, which clears the globals again; the
// telephony library, which their line devices used, is let go after them.
#pragma once

#include <functional>
#include <memory>
#include <vector>

#include <QWidget>

class TFormSet {
public:
    TFormSet() = default;
    ~TFormSet(); // destroys the forms, the last created first
    TFormSet(const TFormSet&) = delete;
    TFormSet& operator=(const TFormSet&) = delete;

    // Creates all twenty.
    void CreateForms();
    const std::vector<QWidget*>& Forms() const { return order_; }

private:
    template <class T> void Create(T*& global);

    struct TEntry {
        std::unique_ptr<QWidget> Form;
        std::function<void()> ClearGlobal;
    };
    std::vector<TEntry> entries_;
    std::vector<QWidget*> order_;
};
