from .cli import command

command()
