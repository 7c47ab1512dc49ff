// Who may run scripts in authorized and server safe mode: the authorization file
// (AUTH blocks naming logins) and the authorization database (auth.dbf with its index
// auth.kpx in the authuserdir directory, one record per authorized user id).
//
// Authorization file:
//   # comment
//   <AUTH ACCESS="allow" TYPE="login">
//   alice bob, carol
//   </AUTH>
//   <AUTH ACCESS="deny" TYPE="login">
//   mallory
//   </AUTH>
// The first block that names the login decides; a login no block names is not
// authorized. An allowing block may give the users it names their own data
// directory: <AUTH ACCESS="allow" TYPE="login" DATADIR="~/kelpdata"> ("~" is the
// user's home directory).

#ifndef HOST_AUTHORIZATION_H_
#define HOST_AUTHORIZATION_H_

#include "foundation/string.h"

class FileManager;

enum AuthorizationResult {
    AuthorizationDenied = 0,
    AuthorizationAllowed = 1,
    AuthorizationError = 2
};

// Decides for login from the text of an authorization file. On AuthorizationError
// *error says why.
// *datadir receives the DATADIR attribute of the allowing block (empty without one).
AuthorizationResult CheckAuthorizationText(const String& text, const String& login, String* datadir,
                                           String* error);

// Looks the user id up in directory/auth.dbf. Allowed when a live record has that
// UID; *homedir then receives its HOMEDIR field. A missing database denies.
AuthorizationResult CheckAuthorizationDatabase(FileManager* files, const String& directory,
                                               long uid, String* homedir, String* error);

#endif  // HOST_AUTHORIZATION_H_
