// The interface language.
//
// The windows are laid out in Polish and the program speaks English: every
// window sets its English texts itself, in its own DostosujJezyk, first thing
// when it is created. There is no language choice anywhere in the program
// (no parameter, file entry or menu), so this unit holds nothing; it stays as
// the place a choice would go.
#pragma once
