// Components: named objects with an owner that frees them, a loading state while their stored
// settings are applied, and notifications to the owner's other components when one comes or goes.
#pragma once

#include <string>
#include <vector>

enum TOperation { opInsert, opRemove };

/// Base of every component of the program (the window's port, packet detector, ...).
/// Thread: the user-interface thread only.
class TComponent
{
public:
    /// Creates the component and, with an owner, inserts it into the owner's list; the owner's
    /// other components are told opInsert.
    explicit TComponent(TComponent* owner = nullptr);
    /// Frees the owned components, last first, then leaves the owner (its other components are
    /// told opRemove).
    virtual ~TComponent();

    TComponent(const TComponent&) = delete;
    TComponent& operator=(const TComponent&) = delete;

    const std::string& Name() const { return FName; }
    void SetName(const std::string& name) { FName = name; }
    int Tag() const { return FTag; }
    void SetTag(int tag) { FTag = tag; }

    TComponent* Owner() const { return FOwner; }
    int ComponentCount() const { return static_cast<int>(FComponents.size()); }
    TComponent* Components(int index) const { return FComponents.at(static_cast<size_t>(index)); }
    /// The owned component with this name, searched depth first through owned components too.
    TComponent* FindComponent(const std::string& name) const;

    /// True while the stored settings of the owner's description are being applied.
    bool IsLoading() const { return FLoading; }
    /// Always false in this program (there is no designer); kept because the port and the
    /// packet manager ask for it.
    bool IsDesigning() const { return false; }
    bool IsDestroying() const { return FDestroying; }

    /// Frees the owned components, last first (each leaving tells the others opRemove). The base
    /// destructor does this too, but only once the derived part of this component is gone; an
    /// owner whose components call back into it while they go (a port closing on its way out and
    /// raising OnPortClose in the window) calls this first in its own destructor.
    void DestroyComponents();

    /// Marks this component and every owned component, recursively, as loading.
    void BeginLoading();
    /// Ends loading for this component and every owned one, then runs Loaded() on each, owned
    /// components in order first, this component last.
    void EndLoading();

protected:
    /// Runs once the stored settings have been applied (after EndLoading).
    virtual void Loaded() {}
    /// Another component of the same owner (or an owned one) was inserted or is being removed.
    virtual void Notification(TComponent* component, TOperation operation);
    /// Tells the owner's other components again that this one was inserted. The insertion itself
    /// is told while only the base part exists, so a component that looks for a derived kind
    /// (a detector for its port) cannot see it then; that kind's constructor calls this.
    void AnnounceInsertion()
    {
        if (FOwner)
            FOwner->NotifyAll(this, opInsert);
    }
    /// Marks the component as being destroyed; derived destructors call it first.
    void Destroying() { FDestroying = true; }

private:
    void InsertComponent(TComponent* component);
    void RemoveComponent(TComponent* component);
    void NotifyAll(TComponent* component, TOperation operation);

    std::string FName;
    int FTag = 0;
    TComponent* FOwner = nullptr;
    std::vector<TComponent*> FComponents;
    bool FLoading = false;
    bool FDestroying = false;
};
