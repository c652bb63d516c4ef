// Where the console's links point: the product's home page, its support page and the address
// that takes suggestions. Every dialog with a help link uses these.
#pragma once

#include <QString>

// The product's name, as message boxes carry it in their title.
inline QString ProductName() {
    return QStringLiteral("Relvo SMTP Server");
}
inline QString HomePageUrl() {
    return QStringLiteral("https://www.relvo.example/");
}
inline QString HomePageCaption() {
    return QStringLiteral("www.relvo.example");
}
inline QString SupportPageUrl() {
    return QStringLiteral("https://www.relvo.example/support/");
}
// A mail link whose subject reads "Suggestion for Relvo SMTP-Server".
inline QString SuggestionMailUrl() {
    return QStringLiteral(
        "mailto:support@relvo.example?subject=Suggestion%20for%20Relvo%20SMTP%2dServer");
}
