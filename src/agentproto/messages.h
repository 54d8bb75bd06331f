// Message numbers of the SSH agent protocol that vardek serves and answers
// with, shared by vardek and the agent-side protocol library.
#ifndef VARDEK_AGENTPROTO_MESSAGES_H
#define VARDEK_AGENTPROTO_MESSAGES_H

// Replies.
#define SSH_AGENT_FAILURE 5
#define SSH_AGENT_SUCCESS 6
#define SSH_AGENT_IDENTITIES_ANSWER 12
#define SSH_AGENT_SIGN_RESPONSE 14
#define SSH_AGENT_SIGN_FAILURE 30

// Requests.
#define SSH_AGENTC_SIGN_REQUEST 13
#define SSH_AGENTC_ADD_SMARTCARD_KEY 20
#define SSH_AGENTC_REMOVE_SMARTCARD_KEY 21

#endif
