// Component ownership, loading state and insert/remove notifications.
#include "runtime/Component.h"

#include <algorithm>

TComponent::TComponent(TComponent* owner)
{
    if (owner)
        owner->InsertComponent(this);
}

TComponent::~TComponent()
{
    FDestroying = true;
    DestroyComponents();
    if (FOwner)
        FOwner->RemoveComponent(this);
}

void TComponent::DestroyComponents()
{
    // Owned components go last first, so later ones (which may refer to earlier ones) leave first.
    while (!FComponents.empty())
        delete FComponents.back();
}

TComponent* TComponent::FindComponent(const std::string& name) const
{
    for (TComponent* component : FComponents) {
        if (component->Name() == name)
            return component;
        if (TComponent* found = component->FindComponent(name))
            return found;
    }
    return nullptr;
}

void TComponent::BeginLoading()
{
    FLoading = true;
    for (TComponent* component : FComponents)
        component->BeginLoading();
}

void TComponent::EndLoading()
{
    FLoading = false;
    for (TComponent* component : FComponents)
        component->EndLoading();
    Loaded();
}

void TComponent::Notification(TComponent*, TOperation) {}

void TComponent::InsertComponent(TComponent* component)
{
    component->FOwner = this;
    FComponents.push_back(component);
    NotifyAll(component, opInsert);
}

void TComponent::RemoveComponent(TComponent* component)
{
    NotifyAll(component, opRemove);
    auto found = std::find(FComponents.begin(), FComponents.end(), component);
    if (found != FComponents.end())
        FComponents.erase(found);
    component->FOwner = nullptr;
}

void TComponent::NotifyAll(TComponent* component, TOperation operation)
{
    // The list may change while a component reacts; walk a copy and skip ones that left.
    const std::vector<TComponent*> others = FComponents;
    for (TComponent* other : others) {
        if (other != component &&
            std::find(FComponents.begin(), FComponents.end(), other) != FComponents.end())
            other->Notification(component, operation);
    }
    Notification(component, operation);
}
