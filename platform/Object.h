// Object and component base of the whole system: TObject, TComponent and the
// root exception class. Every class of the socket and POP3 layers derives
// from these.
#pragma once

#include <cstdint>
#include <exception>
#include <string>
#include <vector>

// Integer and word widths of the system's data model: 32-bit signed counts,
// 16-bit unsigned error numbers in events. Wrap-around is part of the model.
using Integer = int32_t;
using Word = uint16_t;
using TStrings = std::vector<std::string>;

class TObject {
public:
    TObject() = default;
    TObject(const TObject&) = delete;
    TObject& operator=(const TObject&) = delete;
    virtual ~TObject() = default;

    // The class name as a program of this family prints it in messages
    // ("ESocketException", "TWSocket"). Every class that appears in a message
    // overrides it.
    virtual const char* ClassName() const { return "TObject"; }
};

// Root of every exception the system raises and catches. Handlers that catch
// "every exception of the Exception class" catch this type and nothing else.
class Exception : public std::exception {
public:
    explicit Exception(std::string message) : FMessage(std::move(message)) {}
    ~Exception() override = default;

    const std::string& Message() const noexcept { return FMessage; }
    void SetMessage(std::string message) { FMessage = std::move(message); }
    const char* what() const noexcept override { return FMessage.c_str(); }
    virtual const char* ClassName() const { return "Exception"; }

private:
    std::string FMessage;
};

enum class TOperation : uint8_t { opInsert, opRemove };

// A component may have an owner. The owner frees every component it still
// owns when it is destroyed; a component freed earlier removes itself from its
// owner first, and the owner is told through Notification(opRemove).
class TComponent : public TObject {
public:
    explicit TComponent(TComponent* AOwner = nullptr);
    ~TComponent() override;

    const char* ClassName() const override { return "TComponent"; }

    TComponent* Owner() const { return FOwner; }
    int ComponentCount() const { return static_cast<int>(FComponents.size()); }
    TComponent* Components(int index) const { return FComponents.at(static_cast<size_t>(index)); }

    const std::string& Name() const { return FName; }
    void SetName(const std::string& name) { FName = name; }
    intptr_t Tag() const { return FTag; }
    void SetTag(intptr_t tag) { FTag = tag; }

    // True from the moment destruction has begun. A derived destructor calls
    // Destroying() as its first step, so that everything it does while
    // tearing down (closing, cancelling) can see that the object is going.
    bool IsDestroying() const { return FDestroying; }
    void Destroying() { FDestroying = true; }

    void InsertComponent(TComponent* component);
    void RemoveComponent(TComponent* component);
    // Frees every owned component, last inserted first.
    void DestroyComponents();

protected:
    // Called on the owner when a component is inserted or removed.
    virtual void Notification(TComponent* component, TOperation operation);

private:
    TComponent* FOwner = nullptr;
    std::vector<TComponent*> FComponents;
    std::string FName;
    intptr_t FTag = 0;
    bool FDestroying = false;
};
