Welcome to ${Station}.
Software update ${Version} installed on ${Installed}.
